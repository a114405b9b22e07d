// Contacts, tasks and distribution lists.
#include "uDvEWSMessageExContacts.h"

#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <utility>
#include <vector>

#include "uDvEWS.h"
#include "uDvEWSProps.h"

namespace dv {

// ---- TDvEWSContact ----

TDvEWSContact::TDvEWSContact(TDvComponent* owner) : TDvEWSBaseItem<TEwsContactItem>(owner) {}

TEwsAbchEmailAddressDictionary* TDvEWSContact::GetAbchEmailAddresses() {
  CheckVersion(TServerVersion::Exchange2016, "AbchEmailAddresses");
  return GetCurrent()->GetAbchEmailAddresses();
}
std::string TDvEWSContact::GetAccountName() {
  CheckVersion(TServerVersion::Exchange2016, "AccountName");
  return GetCurrent()->GetAccountName();
}
std::string TDvEWSContact::GetAlias() {
  CheckVersion(TServerVersion::Exchange2013, "Alias");
  return GetCurrent()->GetAlias();
}
std::string TDvEWSContact::GetAssistantName() {
  return GetCurrent()->GetAssistantName();
}
TDateTime TDvEWSContact::GetBirthday() {
  return GetCurrent()->GetBirthday();
}
std::string TDvEWSContact::GetBusinessHomePage() {
  return GetCurrent()->GetBusinessHomePage();
}
TEwsArrayOfStrings* TDvEWSContact::GetChildren_() {
  return GetCurrent()->GetChildren();
}
std::int64_t TDvEWSContact::GetCid() {
  CheckVersion(TServerVersion::Exchange2016, "Cid");
  return GetCurrent()->GetCid();
}
std::string TDvEWSContact::GetComment() {
  CheckVersion(TServerVersion::Exchange2016, "Comment");
  return GetCurrent()->GetComment();
}
TEwsArrayOfStrings* TDvEWSContact::GetCompanies() {
  return GetCurrent()->GetCompanies();
}
std::string TDvEWSContact::GetCompanyName() {
  return GetCurrent()->GetCompanyName();
}
TEwsCompleteName* TDvEWSContact::GetCompleteName() {
  return GetCurrent()->GetCompleteName();
}
TContactSource TDvEWSContact::GetContactSource() {
  return GetCurrent()->GetContactSource();
}
std::string TDvEWSContact::GetContactType() {
  CheckVersion(TServerVersion::Exchange2016, "ContactType");
  return GetCurrent()->GetContactType();
}
std::string TDvEWSContact::GetDepartment() {
  return GetCurrent()->GetDepartment();
}
std::string TDvEWSContact::GetDirectoryId() {
  CheckVersion(TServerVersion::Exchange2013, "DirectoryId");
  return GetCurrent()->GetDirectoryId();
}
TEwsArrayOfRecipients* TDvEWSContact::GetDirectReports() {
  CheckVersion(TServerVersion::Exchange2013, "DirectReports");
  return GetCurrent()->GetDirectReports();
}
std::string TDvEWSContact::GetDisplayName() {
  return GetCurrent()->GetDisplayName();
}
TEwsEmailAddressDictionary* TDvEWSContact::GetEmailAddresses() {
  return GetCurrent()->GetEmailAddresses();
}
std::string TDvEWSContact::GetFileAs() {
  CheckVersion(TServerVersion::Exchange2013_SP1, "FileAs");
  return GetCurrent()->GetFileAs();
}
TFileAsMapping TDvEWSContact::GetFileAsMapping() {
  CheckVersion(TServerVersion::Exchange2013_SP1, "FileAsMapping");
  return GetCurrent()->GetFileAsMapping();
}
std::string TDvEWSContact::GetGender() {
  CheckVersion(TServerVersion::Exchange2016, "Gender");
  return GetCurrent()->GetGender();
}
std::string TDvEWSContact::GetGeneration() {
  return GetCurrent()->GetGeneration();
}
std::string TDvEWSContact::GetGivenName() {
  CheckVersion(TServerVersion::Exchange2013_SP1, "GivenName");
  return GetCurrent()->GetGivenName();
}
bool TDvEWSContact::GetHasPicture() {
  CheckVersion(TServerVersion::Exchange2010, "HasPicture");
  return GetCurrent()->GetHasPicture();
}
TEwsImAddressDictionary* TDvEWSContact::GetImAddresses() {
  return GetCurrent()->GetImAddresses();
}
std::string TDvEWSContact::GetInitials() {
  return GetCurrent()->GetInitials();
}
bool TDvEWSContact::GetIsAutoUpdateDisabled() {
  CheckVersion(TServerVersion::Exchange2016, "IsAutoUpdateDisabled");
  return GetCurrent()->GetIsAutoUpdateDisabled();
}
std::string TDvEWSContact::GetJobTitle() {
  return GetCurrent()->GetJobTitle();
}
std::string TDvEWSContact::GetManager() {
  return GetCurrent()->GetManager();
}
TEwsSingleRecipient* TDvEWSContact::GetManagerMailbox() {
  CheckVersion(TServerVersion::Exchange2013, "ManagerMailbox");
  return GetCurrent()->GetManagerMailbox();
}
std::string TDvEWSContact::GetMiddleName() {
  return GetCurrent()->GetMiddleName();
}
std::string TDvEWSContact::GetMileage() {
  return GetCurrent()->GetMileage();
}
TEwsArrayOfBinary* TDvEWSContact::GetMSExchangeCertificate() {
  CheckVersion(TServerVersion::Exchange2013, "MSExchangeCertificate");
  return GetCurrent()->GetMSExchangeCertificate();
}
std::string TDvEWSContact::GetNickname() {
  return GetCurrent()->GetNickname();
}
std::string TDvEWSContact::GetNotes() {
  CheckVersion(TServerVersion::Exchange2013, "Notes");
  return GetCurrent()->GetNotes();
}
std::string TDvEWSContact::GetObjectId() {
  CheckVersion(TServerVersion::Exchange2016, "ObjectId");
  return GetCurrent()->GetObjectId();
}
std::string TDvEWSContact::GetOfficeLocation() {
  return GetCurrent()->GetOfficeLocation();
}
TEwsPhoneNumberDictionary* TDvEWSContact::GetPhoneNumbers() {
  return GetCurrent()->GetPhoneNumbers();
}
std::string TDvEWSContact::GetPhoneticFirstName() {
  CheckVersion(TServerVersion::Exchange2013, "PhoneticFirstName");
  return GetCurrent()->GetPhoneticFirstName();
}
std::string TDvEWSContact::GetPhoneticFullName() {
  CheckVersion(TServerVersion::Exchange2013, "PhoneticFullName");
  return GetCurrent()->GetPhoneticFullName();
}
std::string TDvEWSContact::GetPhoneticLastName() {
  CheckVersion(TServerVersion::Exchange2013, "PhoneticLastName");
  return GetCurrent()->GetPhoneticLastName();
}
TBytes TDvEWSContact::GetPhoto() {
  CheckVersion(TServerVersion::Exchange2013, "Photo");
  return GetCurrent()->GetPhoto();
}
TEwsPhysicalAddressDictionary* TDvEWSContact::GetPhysicalAddresses() {
  return GetCurrent()->GetPhysicalAddresses();
}
TPhysicalAddressIndex TDvEWSContact::GetPostalAddressIndex() {
  return GetCurrent()->GetPostalAddressIndex();
}
std::string TDvEWSContact::GetProfession() {
  return GetCurrent()->GetProfession();
}
std::string TDvEWSContact::GetSkypeAuthCertificate() {
  CheckVersion(TServerVersion::Exchange2016, "SkypeAuthCertificate");
  return GetCurrent()->GetSkypeAuthCertificate();
}
std::string TDvEWSContact::GetSkypeId() {
  CheckVersion(TServerVersion::Exchange2016, "SkypeId");
  return GetCurrent()->GetSkypeId();
}
std::string TDvEWSContact::GetSourceId() {
  CheckVersion(TServerVersion::Exchange2016, "SourceId");
  return GetCurrent()->GetSourceId();
}
std::string TDvEWSContact::GetSpouseName() {
  return GetCurrent()->GetSpouseName();
}
std::string TDvEWSContact::GetSurname() {
  return GetCurrent()->GetSurname();
}
TEwsContactUrlDictionary* TDvEWSContact::GetUrls() {
  CheckVersion(TServerVersion::Exchange2013_SP1, "Urls");
  return GetCurrent()->GetUrls();
}
TEwsArrayOfBinary* TDvEWSContact::GetUserSMIMECertificate() {
  CheckVersion(TServerVersion::Exchange2013, "UserSMIMECertificate");
  return GetCurrent()->GetUserSMIMECertificate();
}
TDateTime TDvEWSContact::GetWeddingAnniversary() {
  return GetCurrent()->GetWeddingAnniversary();
}
std::string TDvEWSContact::GetYomiNickname() {
  CheckVersion(TServerVersion::Exchange2016, "YomiNickname");
  return GetCurrent()->GetYomiNickname();
}
void TDvEWSContact::SetAccountName(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "AccountName");
  GetCurrent()->SetAccountName(value);
}
void TDvEWSContact::SetAlias(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013, "Alias");
  GetCurrent()->SetAlias(value);
}
void TDvEWSContact::SetAssistantName(const std::string& value) {
  GetCurrent()->SetAssistantName(value);
}
void TDvEWSContact::SetBirthday(TDateTime value) {
  GetCurrent()->SetBirthday(value);
}
void TDvEWSContact::SetBusinessHomePage(const std::string& value) {
  GetCurrent()->SetBusinessHomePage(value);
}
void TDvEWSContact::SetCid(std::int64_t value) {
  CheckVersion(TServerVersion::Exchange2016, "Cid");
  GetCurrent()->SetCid(value);
}
void TDvEWSContact::SetComment(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "Comment");
  GetCurrent()->SetComment(value);
}
void TDvEWSContact::SetCompanyName(const std::string& value) {
  GetCurrent()->SetCompanyName(value);
}
void TDvEWSContact::SetContactSource(TContactSource value) {
  GetCurrent()->SetContactSource(value);
}
void TDvEWSContact::SetContactType(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "ContactType");
  GetCurrent()->SetContactType(value);
}
void TDvEWSContact::SetDepartment(const std::string& value) {
  GetCurrent()->SetDepartment(value);
}
void TDvEWSContact::SetDirectoryId(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013, "DirectoryId");
  GetCurrent()->SetDirectoryId(value);
}
void TDvEWSContact::SetDisplayName(const std::string& value) {
  GetCurrent()->SetDisplayName(value);
}
void TDvEWSContact::SetFileAs(const std::string& value) {
  GetCurrent()->SetFileAs(value);
}
void TDvEWSContact::SetGender(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "Gender");
  GetCurrent()->SetGender(value);
}
void TDvEWSContact::SetGeneration(const std::string& value) {
  GetCurrent()->SetGeneration(value);
}
void TDvEWSContact::SetGivenName(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013_SP1, "GivenName");
  GetCurrent()->SetGivenName(value);
}
void TDvEWSContact::SetHasPicture(bool value) {
  CheckVersion(TServerVersion::Exchange2010, "HasPicture");
  GetCurrent()->SetHasPicture(value);
}
void TDvEWSContact::SetInitials(const std::string& value) {
  GetCurrent()->SetInitials(value);
}
void TDvEWSContact::SetIsAutoUpdateDisabled(bool value) {
  CheckVersion(TServerVersion::Exchange2016, "IsAutoUpdateDisabled");
  GetCurrent()->SetIsAutoUpdateDisabled(value);
}
void TDvEWSContact::SetJobTitle(const std::string& value) {
  GetCurrent()->SetJobTitle(value);
}
void TDvEWSContact::SetManager(const std::string& value) {
  GetCurrent()->SetManager(value);
}
void TDvEWSContact::SetMiddleName(const std::string& value) {
  GetCurrent()->SetMiddleName(value);
}
void TDvEWSContact::SetMileage(const std::string& value) {
  GetCurrent()->SetMileage(value);
}
void TDvEWSContact::SetNickname(const std::string& value) {
  GetCurrent()->SetNickname(value);
}
void TDvEWSContact::SetNotes(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013, "Notes");
  GetCurrent()->SetNotes(value);
}
void TDvEWSContact::SetObjectId(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "ObjectId");
  GetCurrent()->SetObjectId(value);
}
void TDvEWSContact::SetOfficeLocation(const std::string& value) {
  GetCurrent()->SetOfficeLocation(value);
}
void TDvEWSContact::SetPhoneticFirstName(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013, "PhoneticFirstName");
  GetCurrent()->SetPhoneticFirstName(value);
}
void TDvEWSContact::SetPhoneticFullName(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013, "PhoneticFullName");
  GetCurrent()->SetPhoneticFullName(value);
}
void TDvEWSContact::SetPhoneticLastName(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2013, "PhoneticLastName");
  GetCurrent()->SetPhoneticLastName(value);
}
void TDvEWSContact::SetPhoto(const TBytes& value) {
  CheckVersion(TServerVersion::Exchange2013, "Photo");
  GetCurrent()->SetPhoto(value);
}
void TDvEWSContact::SetPostalAddressIndex(TPhysicalAddressIndex value) {
  GetCurrent()->SetPostalAddressIndex(value);
}
void TDvEWSContact::SetProfession(const std::string& value) {
  GetCurrent()->SetProfession(value);
}
void TDvEWSContact::SetSkypeAuthCertificate(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "SkypeAuthCertificate");
  GetCurrent()->SetSkypeAuthCertificate(value);
}
void TDvEWSContact::SetSkypeId(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "SkypeId");
  GetCurrent()->SetSkypeId(value);
}
void TDvEWSContact::SetSourceId(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "SourceId");
  GetCurrent()->SetSourceId(value);
}
void TDvEWSContact::SetSpouseName(const std::string& value) {
  GetCurrent()->SetSpouseName(value);
}
void TDvEWSContact::SetSurname(const std::string& value) {
  GetCurrent()->SetSurname(value);
}
void TDvEWSContact::SetWeddingAnniversary(TDateTime value) {
  GetCurrent()->SetWeddingAnniversary(value);
}
void TDvEWSContact::SetYomiNickname(const std::string& value) {
  CheckVersion(TServerVersion::Exchange2016, "YomiNickname");
  GetCurrent()->SetYomiNickname(value);
}

bool TDvEWSContact::GetIsPrivate() {
  if (Version() < TServerVersion::Exchange2016) return TDvEWSItemCore::GetIsPrivate();
  return GetCurrent()->GetIsPrivate();
}

void TDvEWSContact::SetIsPrivate(bool value) {
  if (Version() < TServerVersion::Exchange2016) return TDvEWSItemCore::SetIsPrivate(value);
  GetCurrent()->SetIsPrivate(value);
}

namespace {

// The file attachments flagged as contact photo, with their positions, in list order.
std::vector<std::pair<int, DvEWSFileAttachmentPtr>> ContactPhotos(TDvEWSAttachments& list) {
  std::vector<std::pair<int, DvEWSFileAttachmentPtr>> photos;
  for (int i = 0; i < list.Count(); ++i) {
    auto file = std::dynamic_pointer_cast<IDvEWSFileAttachment>(list.GetAttachment(i));
    if (file && file->GetIsContactPhoto()) photos.emplace_back(i, file);
  }
  return photos;
}

}  // namespace

bool TDvEWSContact::GetUserPhoto(std::ostream& stream) {
  auto photos = ContactPhotos(GetAttachments());
  if (photos.empty()) return false;
  photos.front().second->SaveToStream(stream);
  return true;
}

void TDvEWSContact::SetUserPhoto(std::istream* stream) {
  TDvEWSAttachments& list = GetAttachments();
  auto photos = ContactPhotos(list);
  std::string bytes;
  if (stream != nullptr)
    bytes.assign(std::istreambuf_iterator<char>(*stream), std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    if (!photos.empty()) list.DeleteAttachment(photos.back().first);
    return;
  }
  std::istringstream content(bytes);
  if (!photos.empty()) {
    photos.front().second->LoadFromStream(content);
    return;
  }
  auto added = list.AddAttachment("ContactPicture.jpg", "image/jpg", content);
  added->SetIsContactPhoto(true);
}

// ---- TDvEWSDistributionList ----

TDvEWSDistributionList::TDvEWSDistributionList(TDvComponent* owner)
    : TDvEWSBaseItem<TEwsDistributionList>(owner) {}

TDvEWSDistributionList::~TDvEWSDistributionList() {
  FMembers.reset();
}

std::string TDvEWSDistributionList::GetDisplayName() {
  return GetCurrent()->GetDisplayName();
}
std::string TDvEWSDistributionList::GetFileAs() {
  return GetCurrent()->GetFileAs();
}
TContactSource TDvEWSDistributionList::GetContactSource() {
  return GetCurrent()->GetContactSource();
}
void TDvEWSDistributionList::SetDisplayName(const std::string& value) {
  GetCurrent()->SetDisplayName(value);
}
void TDvEWSDistributionList::SetFileAs(const std::string& value) {
  GetCurrent()->SetFileAs(value);
}
void TDvEWSDistributionList::SetContactSource(TContactSource value) {
  GetCurrent()->SetContactSource(value);
}

TDvEWSMembersList& TDvEWSDistributionList::GetMembers() {
  if (!FMembers)
    FMembers =
        std::make_unique<TDvEWSMembersList>(GetLoaded()->GetMembers()->AsElement(), Version());
  return *FMembers;
}

void TDvEWSDistributionList::FreeWrappers() {
  FMembers.reset();
  TDvEWSBaseItem<TEwsDistributionList>::FreeWrappers();
}

// ---- TDvEWSTask ----

TDvEWSTask::TDvEWSTask(TDvComponent* owner) : TDvEWSBaseItem<TEwsTask>(owner) {}

void TDvEWSTask::Init(const TItemId& itemId) {
  TDvEWSItemCore::Init(itemId);
  if (GetIsNewItem()) GetCurrent()->SetPercentComplete(0);
}

bool TDvEWSTask::HoldsDueDate() {
  return GetIsNewItem() && Version() < TServerVersion::Exchange2013;
}

TDateTime TDvEWSTask::GetDueDate() {
  return HoldsDueDate() ? FDueDate : GetCurrent()->GetDueDate();
}

void TDvEWSTask::SetDueDate(TDateTime value) {
  if (HoldsDueDate())
    FDueDate = value;
  else
    GetCurrent()->SetDueDate(value);
}

void TDvEWSTask::SaveChanges(TDvEWSSaveOption option) {
  const bool held = HoldsDueDate();
  TDvEWSItemCore::SaveChanges(option);
  // Nothing to add when no due date was ever set: the second save would change nothing.
  if (!held || FDueDate.Value == 0 || GetIsNewItem()) return;
  GetCurrent()->SetDueDate(FDueDate);
  FDueDate = TDateTime();
  TDvEWSItemCore::SaveChanges(option);
}

#define DV_TASK_GET(T, Name)          \
  T TDvEWSTask::Get##Name() {         \
    return GetCurrent()->Get##Name(); \
  }
#define DV_TASK_FIELD(T, P, Name)       \
  DV_TASK_GET(T, Name)                  \
  void TDvEWSTask::Set##Name(P value) { \
    GetCurrent()->Set##Name(value);     \
  }

DV_TASK_FIELD(std::int32_t, std::int32_t, ActualWork)
DV_TASK_FIELD(TDateTime, TDateTime, AssignedTime)
DV_TASK_FIELD(std::string, const std::string&, BillingInformation)
DV_TASK_GET(std::int32_t, ChangeCount)
DV_TASK_GET(TEwsArrayOfStrings*, Companies)
DV_TASK_FIELD(TDateTime, TDateTime, CompleteDate)
DV_TASK_GET(TEwsArrayOfStrings*, Contacts)
DV_TASK_FIELD(TTaskDelegateState, TTaskDelegateState, DelegationState)
DV_TASK_FIELD(std::string, const std::string&, Delegator)
DV_TASK_FIELD(std::int32_t, std::int32_t, IsAssignmentEditable)
DV_TASK_FIELD(bool, bool, IsComplete)
DV_TASK_GET(bool, IsRecurring)
DV_TASK_FIELD(bool, bool, IsTeamTask)
DV_TASK_FIELD(std::string, const std::string&, Mileage)
DV_TASK_FIELD(double, double, PercentComplete)
DV_TASK_GET(TEwsTaskRecurrence*, Recurrence)
DV_TASK_FIELD(TDateTime, TDateTime, StartDate)
DV_TASK_FIELD(TTaskStatus, TTaskStatus, Status)
DV_TASK_FIELD(std::string, const std::string&, StatusDescription)
DV_TASK_FIELD(std::int32_t, std::int32_t, TotalWork)

#undef DV_TASK_FIELD
#undef DV_TASK_GET

std::string TDvEWSTask::GetTaskOwner() {
  return GetCurrent()->GetOwner();
}

// ---- factories ----

DvEWSItemPtr DvEWSNewContactsKindItem(TDvEWSObject& owner, TItemType type, const TItemId& id) {
  switch (type) {
    case TItemType::tContact:
      return DvEWSNewItem<TDvEWSContact>(id, &owner);
    case TItemType::tTask:
      return DvEWSNewItem<TDvEWSTask>(id, &owner);
    case TItemType::tDistributionList:
      return DvEWSNewItem<TDvEWSDistributionList>(id, &owner);
    default:
      return nullptr;
  }
}

namespace {
template <typename C>
DvEWSItemPtr Loaded(TDvEWSObject& owner, const DvDOMDocumentPtr& document,
                    const DvDOMElementPtr& element) {
  auto item = std::make_shared<C>(&owner);
  item->InitLoaded(document, element);
  return item;
}
}  // namespace

DvEWSItemPtr DvEWSLoadedContactsKindItem(TDvEWSObject& owner, TItemType type,
                                         const DvDOMDocumentPtr& document,
                                         const DvDOMElementPtr& element) {
  switch (type) {
    case TItemType::tContact:
      return Loaded<TDvEWSContact>(owner, document, element);
    case TItemType::tTask:
      return Loaded<TDvEWSTask>(owner, document, element);
    case TItemType::tDistributionList:
      return Loaded<TDvEWSDistributionList>(owner, document, element);
    default:
      return nullptr;
  }
}

}  // namespace dv
