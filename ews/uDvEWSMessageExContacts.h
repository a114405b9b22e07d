/// @file
/// Contacts, tasks and distribution lists: three item classes over the generic item with typed
/// accessors for their fields.
///
/// A contact's e-mail addresses, phone numbers, physical and instant-messaging addresses are the
/// schema's dictionaries, whose entries carry a "Key" attribute (EmailAddress1, BusinessPhone,
/// Home, …); a change to one entry is saved as one indexed field. The contact's photo is a file
/// attachment flagged as contact photo. Where the private flag lives depends on the server: from
/// Exchange2016 on it is the contact's own IsPrivate element, before that the item's sensitivity
/// and the common named property.
///
/// A new task starts at PercentComplete 0. Servers older than Exchange2013 refuse the due date of
/// a task being created, so there the due date is held on the object and written by an UpdateItem
/// right after the CreateItem.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "uDvEWSItem.h"

namespace dv {

/// A contact: its name parts, companies, dictionaries of addresses and numbers, and photo.
/// Accessors of fields that newer servers introduced raise dv::Exception naming the Exchange
/// version they need when the server is older.
class IDvEWSContact : public virtual IDvEWSItem {
 public:
  /// @name Contact fields
  /**@{*/
  /// A field of the contact (the getter reads the loaded value, the setter changes it for
  /// SaveChanges). GetChildren_ gives the Children array.
  virtual TEwsAbchEmailAddressDictionary* GetAbchEmailAddresses() = 0;
  virtual std::string GetAccountName() = 0;
  virtual std::string GetAlias() = 0;
  virtual std::string GetAssistantName() = 0;
  virtual TDateTime GetBirthday() = 0;
  virtual std::string GetBusinessHomePage() = 0;
  virtual TEwsArrayOfStrings* GetChildren_() = 0;
  virtual std::int64_t GetCid() = 0;
  virtual std::string GetComment() = 0;
  virtual TEwsArrayOfStrings* GetCompanies() = 0;
  virtual std::string GetCompanyName() = 0;
  virtual TEwsCompleteName* GetCompleteName() = 0;
  virtual TContactSource GetContactSource() = 0;
  virtual std::string GetContactType() = 0;
  virtual std::string GetDepartment() = 0;
  virtual std::string GetDirectoryId() = 0;
  virtual TEwsArrayOfRecipients* GetDirectReports() = 0;
  virtual std::string GetDisplayName() = 0;
  virtual TEwsEmailAddressDictionary* GetEmailAddresses() = 0;
  virtual std::string GetFileAs() = 0;
  virtual TFileAsMapping GetFileAsMapping() = 0;
  virtual std::string GetGender() = 0;
  virtual std::string GetGeneration() = 0;
  virtual std::string GetGivenName() = 0;
  virtual bool GetHasPicture() = 0;
  virtual TEwsImAddressDictionary* GetImAddresses() = 0;
  virtual std::string GetInitials() = 0;
  virtual bool GetIsAutoUpdateDisabled() = 0;
  virtual std::string GetJobTitle() = 0;
  virtual std::string GetManager() = 0;
  virtual TEwsSingleRecipient* GetManagerMailbox() = 0;
  virtual std::string GetMiddleName() = 0;
  virtual std::string GetMileage() = 0;
  virtual TEwsArrayOfBinary* GetMSExchangeCertificate() = 0;
  virtual std::string GetNickname() = 0;
  virtual std::string GetNotes() = 0;
  virtual std::string GetObjectId() = 0;
  virtual std::string GetOfficeLocation() = 0;
  virtual TEwsPhoneNumberDictionary* GetPhoneNumbers() = 0;
  virtual std::string GetPhoneticFirstName() = 0;
  virtual std::string GetPhoneticFullName() = 0;
  virtual std::string GetPhoneticLastName() = 0;
  virtual TBytes GetPhoto() = 0;
  virtual TEwsPhysicalAddressDictionary* GetPhysicalAddresses() = 0;
  virtual TPhysicalAddressIndex GetPostalAddressIndex() = 0;
  virtual std::string GetProfession() = 0;
  virtual std::string GetSkypeAuthCertificate() = 0;
  virtual std::string GetSkypeId() = 0;
  virtual std::string GetSourceId() = 0;
  virtual std::string GetSpouseName() = 0;
  virtual std::string GetSurname() = 0;
  virtual TEwsContactUrlDictionary* GetUrls() = 0;
  virtual TEwsArrayOfBinary* GetUserSMIMECertificate() = 0;
  virtual TDateTime GetWeddingAnniversary() = 0;
  virtual std::string GetYomiNickname() = 0;
  virtual void SetAccountName(const std::string& value) = 0;
  virtual void SetAlias(const std::string& value) = 0;
  virtual void SetAssistantName(const std::string& value) = 0;
  virtual void SetBirthday(TDateTime value) = 0;
  virtual void SetBusinessHomePage(const std::string& value) = 0;
  virtual void SetCid(std::int64_t value) = 0;
  virtual void SetComment(const std::string& value) = 0;
  virtual void SetCompanyName(const std::string& value) = 0;
  virtual void SetContactSource(TContactSource value) = 0;
  virtual void SetContactType(const std::string& value) = 0;
  virtual void SetDepartment(const std::string& value) = 0;
  virtual void SetDirectoryId(const std::string& value) = 0;
  virtual void SetDisplayName(const std::string& value) = 0;
  virtual void SetFileAs(const std::string& value) = 0;
  virtual void SetGender(const std::string& value) = 0;
  virtual void SetGeneration(const std::string& value) = 0;
  virtual void SetGivenName(const std::string& value) = 0;
  virtual void SetHasPicture(bool value) = 0;
  virtual void SetInitials(const std::string& value) = 0;
  virtual void SetIsAutoUpdateDisabled(bool value) = 0;
  virtual void SetJobTitle(const std::string& value) = 0;
  virtual void SetManager(const std::string& value) = 0;
  virtual void SetMiddleName(const std::string& value) = 0;
  virtual void SetMileage(const std::string& value) = 0;
  virtual void SetNickname(const std::string& value) = 0;
  virtual void SetNotes(const std::string& value) = 0;
  virtual void SetObjectId(const std::string& value) = 0;
  virtual void SetOfficeLocation(const std::string& value) = 0;
  virtual void SetPhoneticFirstName(const std::string& value) = 0;
  virtual void SetPhoneticFullName(const std::string& value) = 0;
  virtual void SetPhoneticLastName(const std::string& value) = 0;
  virtual void SetPhoto(const TBytes& value) = 0;
  virtual void SetPostalAddressIndex(TPhysicalAddressIndex value) = 0;
  virtual void SetProfession(const std::string& value) = 0;
  virtual void SetSkypeAuthCertificate(const std::string& value) = 0;
  virtual void SetSkypeId(const std::string& value) = 0;
  virtual void SetSourceId(const std::string& value) = 0;
  virtual void SetSpouseName(const std::string& value) = 0;
  virtual void SetSurname(const std::string& value) = 0;
  virtual void SetWeddingAnniversary(TDateTime value) = 0;
  virtual void SetYomiNickname(const std::string& value) = 0;
  /**@}*/
  /// The private flag as the server keeps it for contacts (see the file comment).
  bool GetIsPrivate() override = 0;
  void SetIsPrivate(bool value) override = 0;
  /// Writes the picture of the first file attachment flagged as contact photo into `stream`;
  /// false (nothing written) when there is none.
  virtual bool GetUserPhoto(std::ostream& stream) = 0;
  /// Sets the contact's photo from `stream` (replacing the content of the flagged attachment, or
  /// adding "ContactPicture.jpg"); with no stream or an empty one, removes the photo. Sent by
  /// SaveChanges.
  virtual void SetUserPhoto(std::istream* stream) = 0;
};

/// The contact class (see IDvEWSContact).
class TDvEWSContact : public TDvEWSBaseItem<TEwsContactItem>, public virtual IDvEWSContact {
 public:
  /// A contact object; create with DvEWSNewItem.
  explicit TDvEWSContact(TDvComponent* owner);
  TItemType GetItemType() override { return TItemType::tContact; }
  TEwsAbchEmailAddressDictionary* GetAbchEmailAddresses() override;
  std::string GetAccountName() override;
  std::string GetAlias() override;
  std::string GetAssistantName() override;
  TDateTime GetBirthday() override;
  std::string GetBusinessHomePage() override;
  TEwsArrayOfStrings* GetChildren_() override;
  std::int64_t GetCid() override;
  std::string GetComment() override;
  TEwsArrayOfStrings* GetCompanies() override;
  std::string GetCompanyName() override;
  TEwsCompleteName* GetCompleteName() override;
  TContactSource GetContactSource() override;
  std::string GetContactType() override;
  std::string GetDepartment() override;
  std::string GetDirectoryId() override;
  TEwsArrayOfRecipients* GetDirectReports() override;
  std::string GetDisplayName() override;
  TEwsEmailAddressDictionary* GetEmailAddresses() override;
  std::string GetFileAs() override;
  TFileAsMapping GetFileAsMapping() override;
  std::string GetGender() override;
  std::string GetGeneration() override;
  std::string GetGivenName() override;
  bool GetHasPicture() override;
  TEwsImAddressDictionary* GetImAddresses() override;
  std::string GetInitials() override;
  bool GetIsAutoUpdateDisabled() override;
  std::string GetJobTitle() override;
  std::string GetManager() override;
  TEwsSingleRecipient* GetManagerMailbox() override;
  std::string GetMiddleName() override;
  std::string GetMileage() override;
  TEwsArrayOfBinary* GetMSExchangeCertificate() override;
  std::string GetNickname() override;
  std::string GetNotes() override;
  std::string GetObjectId() override;
  std::string GetOfficeLocation() override;
  TEwsPhoneNumberDictionary* GetPhoneNumbers() override;
  std::string GetPhoneticFirstName() override;
  std::string GetPhoneticFullName() override;
  std::string GetPhoneticLastName() override;
  TBytes GetPhoto() override;
  TEwsPhysicalAddressDictionary* GetPhysicalAddresses() override;
  TPhysicalAddressIndex GetPostalAddressIndex() override;
  std::string GetProfession() override;
  std::string GetSkypeAuthCertificate() override;
  std::string GetSkypeId() override;
  std::string GetSourceId() override;
  std::string GetSpouseName() override;
  std::string GetSurname() override;
  TEwsContactUrlDictionary* GetUrls() override;
  TEwsArrayOfBinary* GetUserSMIMECertificate() override;
  TDateTime GetWeddingAnniversary() override;
  std::string GetYomiNickname() override;
  void SetAccountName(const std::string& value) override;
  void SetAlias(const std::string& value) override;
  void SetAssistantName(const std::string& value) override;
  void SetBirthday(TDateTime value) override;
  void SetBusinessHomePage(const std::string& value) override;
  void SetCid(std::int64_t value) override;
  void SetComment(const std::string& value) override;
  void SetCompanyName(const std::string& value) override;
  void SetContactSource(TContactSource value) override;
  void SetContactType(const std::string& value) override;
  void SetDepartment(const std::string& value) override;
  void SetDirectoryId(const std::string& value) override;
  void SetDisplayName(const std::string& value) override;
  void SetFileAs(const std::string& value) override;
  void SetGender(const std::string& value) override;
  void SetGeneration(const std::string& value) override;
  void SetGivenName(const std::string& value) override;
  void SetHasPicture(bool value) override;
  void SetInitials(const std::string& value) override;
  void SetIsAutoUpdateDisabled(bool value) override;
  void SetJobTitle(const std::string& value) override;
  void SetManager(const std::string& value) override;
  void SetMiddleName(const std::string& value) override;
  void SetMileage(const std::string& value) override;
  void SetNickname(const std::string& value) override;
  void SetNotes(const std::string& value) override;
  void SetObjectId(const std::string& value) override;
  void SetOfficeLocation(const std::string& value) override;
  void SetPhoneticFirstName(const std::string& value) override;
  void SetPhoneticFullName(const std::string& value) override;
  void SetPhoneticLastName(const std::string& value) override;
  void SetPhoto(const TBytes& value) override;
  void SetPostalAddressIndex(TPhysicalAddressIndex value) override;
  void SetProfession(const std::string& value) override;
  void SetSkypeAuthCertificate(const std::string& value) override;
  void SetSkypeId(const std::string& value) override;
  void SetSourceId(const std::string& value) override;
  void SetSpouseName(const std::string& value) override;
  void SetSurname(const std::string& value) override;
  void SetWeddingAnniversary(TDateTime value) override;
  void SetYomiNickname(const std::string& value) override;
  bool GetIsPrivate() override;
  void SetIsPrivate(bool value) override;
  bool GetUserPhoto(std::ostream& stream) override;
  void SetUserPhoto(std::istream* stream) override;
};

/// A distribution list kept in a Contacts folder (a private list): its names and members.
class IDvEWSDistributionList : public virtual IDvEWSItem {
 public:
  virtual std::string GetDisplayName() = 0;
  virtual std::string GetFileAs() = 0;
  virtual TContactSource GetContactSource() = 0;
  /// The members (made once over the list's Members element). Adding or removing members
  /// changes the list's data, saved by SaveChanges.
  virtual TDvEWSMembersList& GetMembers() = 0;
  virtual void SetDisplayName(const std::string& value) = 0;
  virtual void SetFileAs(const std::string& value) = 0;
  virtual void SetContactSource(TContactSource value) = 0;
};

/// The distribution list class (see IDvEWSDistributionList).
class TDvEWSDistributionList : public TDvEWSBaseItem<TEwsDistributionList>,
                               public virtual IDvEWSDistributionList {
 public:
  /// A list object; create with DvEWSNewItem.
  explicit TDvEWSDistributionList(TDvComponent* owner);
  ~TDvEWSDistributionList() override;
  TItemType GetItemType() override { return TItemType::tDistributionList; }
  std::string GetDisplayName() override;
  std::string GetFileAs() override;
  TContactSource GetContactSource() override;
  TDvEWSMembersList& GetMembers() override;
  void SetDisplayName(const std::string& value) override;
  void SetFileAs(const std::string& value) override;
  void SetContactSource(TContactSource value) override;

 protected:
  void FreeWrappers() override;

 private:
  std::unique_ptr<TDvEWSMembersList> FMembers;
};

/// A task: dates, status, progress, work and its recurrence.
class IDvEWSTask : public virtual IDvEWSItem {
 public:
  /// @name Task fields
  /**@{*/
  /// A field of the task (getter: the loaded value; setter: changed for SaveChanges).
  virtual std::int32_t GetActualWork() = 0;
  virtual TDateTime GetAssignedTime() = 0;
  virtual std::string GetBillingInformation() = 0;
  virtual std::int32_t GetChangeCount() = 0;
  virtual TEwsArrayOfStrings* GetCompanies() = 0;
  virtual TDateTime GetCompleteDate() = 0;
  virtual TEwsArrayOfStrings* GetContacts() = 0;
  virtual TTaskDelegateState GetDelegationState() = 0;
  virtual std::string GetDelegator() = 0;
  /// On a server older than Exchange2013, while the task is new: the held due date.
  virtual TDateTime GetDueDate() = 0;
  virtual std::int32_t GetIsAssignmentEditable() = 0;
  virtual bool GetIsComplete() = 0;
  virtual bool GetIsRecurring() = 0;
  virtual bool GetIsTeamTask() = 0;
  virtual std::string GetMileage() = 0;
  virtual std::string GetTaskOwner() = 0;
  virtual double GetPercentComplete() = 0;
  virtual TEwsTaskRecurrence* GetRecurrence() = 0;
  virtual TDateTime GetStartDate() = 0;
  virtual TTaskStatus GetStatus() = 0;
  virtual std::string GetStatusDescription() = 0;
  virtual std::int32_t GetTotalWork() = 0;
  virtual void SetActualWork(std::int32_t value) = 0;
  virtual void SetAssignedTime(TDateTime value) = 0;
  virtual void SetBillingInformation(const std::string& value) = 0;
  virtual void SetCompleteDate(TDateTime value) = 0;
  virtual void SetDelegationState(TTaskDelegateState value) = 0;
  virtual void SetDelegator(const std::string& value) = 0;
  /// On a server older than Exchange2013, while the task is new, only held (see the file
  /// comment).
  virtual void SetDueDate(TDateTime value) = 0;
  virtual void SetIsAssignmentEditable(std::int32_t value) = 0;
  virtual void SetIsComplete(bool value) = 0;
  virtual void SetIsTeamTask(bool value) = 0;
  virtual void SetMileage(const std::string& value) = 0;
  virtual void SetPercentComplete(double value) = 0;
  virtual void SetStartDate(TDateTime value) = 0;
  virtual void SetStatus(TTaskStatus value) = 0;
  virtual void SetStatusDescription(const std::string& value) = 0;
  virtual void SetTotalWork(std::int32_t value) = 0;
  /**@}*/
};

/// The task class (see IDvEWSTask).
class TDvEWSTask : public TDvEWSBaseItem<TEwsTask>, public virtual IDvEWSTask {
 public:
  /// A task object; create with DvEWSNewItem (which calls this class's Init).
  explicit TDvEWSTask(TDvComponent* owner);
  /// As the item's Init; a new task starts at PercentComplete 0.
  void Init(const TItemId& itemId);
  TItemType GetItemType() override { return TItemType::tTask; }
  std::int32_t GetActualWork() override;
  TDateTime GetAssignedTime() override;
  std::string GetBillingInformation() override;
  std::int32_t GetChangeCount() override;
  TEwsArrayOfStrings* GetCompanies() override;
  TDateTime GetCompleteDate() override;
  TEwsArrayOfStrings* GetContacts() override;
  TTaskDelegateState GetDelegationState() override;
  std::string GetDelegator() override;
  TDateTime GetDueDate() override;
  std::int32_t GetIsAssignmentEditable() override;
  bool GetIsComplete() override;
  bool GetIsRecurring() override;
  bool GetIsTeamTask() override;
  std::string GetMileage() override;
  std::string GetTaskOwner() override;
  double GetPercentComplete() override;
  TEwsTaskRecurrence* GetRecurrence() override;
  TDateTime GetStartDate() override;
  TTaskStatus GetStatus() override;
  std::string GetStatusDescription() override;
  std::int32_t GetTotalWork() override;
  void SetActualWork(std::int32_t value) override;
  void SetAssignedTime(TDateTime value) override;
  void SetBillingInformation(const std::string& value) override;
  void SetCompleteDate(TDateTime value) override;
  void SetDelegationState(TTaskDelegateState value) override;
  void SetDelegator(const std::string& value) override;
  void SetDueDate(TDateTime value) override;
  void SetIsAssignmentEditable(std::int32_t value) override;
  void SetIsComplete(bool value) override;
  void SetIsTeamTask(bool value) override;
  void SetMileage(const std::string& value) override;
  void SetPercentComplete(double value) override;
  void SetStartDate(TDateTime value) override;
  void SetStatus(TTaskStatus value) override;
  void SetStatusDescription(const std::string& value) override;
  void SetTotalWork(std::int32_t value) override;
  /// Saves as any item; a new task on a server older than Exchange2013 then gets its held due
  /// date in one UpdateItem (none when no due date was set).
  void SaveChanges(TDvEWSSaveOption option) override;

 private:
  // True while the due date is held instead of written (new task, server before Exchange2013).
  bool HoldsDueDate();
  TDateTime FDueDate;
};

/// The object of a contact, task or distribution list (new when `id` is empty); none for other
/// kinds. Used by the item factories.
DvEWSItemPtr DvEWSNewContactsKindItem(TDvEWSObject& owner, TItemType type, const TItemId& id);
/// As DvEWSNewContactsKindItem for an item element already fetched.
DvEWSItemPtr DvEWSLoadedContactsKindItem(TDvEWSObject& owner, TItemType type,
                                         const DvDOMDocumentPtr& document,
                                         const DvDOMElementPtr& element);

}  // namespace dv
