// Elements built through the schema classes, children written in any order, validate against the
// EWS schema: missing children are created at their declaration position.
#include <gtest/gtest.h>

#include "ews_testsupport.h"
#include "test_helpers.h"
#include "uDvEWSTypes.h"

using namespace dv;

namespace {

TEST(SchemaValid, MessageWrittenOutOfOrderValidates) {
  DvDOMDocumentPtr doc = DvCreateDOM(std::string("<m:CreateItem") + ews_test::kEwsNs +
                                     " MessageDisposition=\"SaveOnly\"><m:Items><t:Message/>"
                                     "</m:Items></m:CreateItem>");
  TEwsMessage m(doc->GetDocumentElement()->GetElement(0)->GetElement(0));
  m.SetIsReadReceiptRequested(true);
  m.GetToRecipients()->GetMailbox()->Add()->SetEmailAddress("b@example.com");
  m.SetSubject("Quarterly <numbers> & more");
  m.SetImportance(TImportanceChoices::icHigh);
  TEwsExtendedProperty* p = m.GetExtendedProperty()->Add();
  p->GetExtendedFieldURI()->SetPropertyType(TMapiPropertyType::mptInteger);
  p->GetExtendedFieldURI()->SetPropertyTag("0x1081");
  p->SetValue("102");
  m.GetBody()->SetBodyType(TBodyType::btHTML);
  m.GetBody()->SetValue("<p>Hi</p>");
  m.SetSensitivity(TSensitivityChoices::scConfidential);
  m.GetCcRecipients()->GetMailbox()->Add()->SetName("C");
  m.GetCcRecipients()->GetMailbox()->GetItem(0)->SetEmailAddress("c@example.com");
  m.SetItemClass("IPM.Note");
  m.SetIsRead(false);
  m.GetFrom()->GetMailbox()->SetEmailAddress("a@example.com");
  m.GetCategories()->GetString_()->Add()->SetValue("Red");
  const auto v = ews_test::ValidateElement(doc->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << doc->GetXML();
}

TEST(SchemaValid, FolderAndCalendarItemValidate) {
  DvDOMDocumentPtr doc = DvCreateDOM(std::string("<m:CreateFolder") + ews_test::kEwsNs +
                                     "><m:ParentFolderId><t:DistinguishedFolderId/>"
                                     "</m:ParentFolderId><m:Folders><t:Folder/></m:Folders>"
                                     "</m:CreateFolder>");
  TEwsDistinguishedFolderId parent(doc->GetDocumentElement()->GetElement(0)->GetElement(0));
  parent.SetId(TDistinguishedFolderIdName::dfininbox);
  parent.GetMailbox()->SetEmailAddress("a@example.com");
  TEwsFolder folder(doc->GetDocumentElement()->GetElement(1)->GetElement(0));
  folder.SetDisplayName("Projects");
  folder.SetFolderClass("IPF.Note");
  auto v = ews_test::ValidateElement(doc->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << doc->GetXML();

  DvDOMDocumentPtr cal = DvCreateDOM(std::string("<m:CreateItem") + ews_test::kEwsNs +
                                     " SendMeetingInvitations=\"SendToNone\"><m:Items>"
                                     "<t:CalendarItem/></m:Items></m:CreateItem>");
  TEwsCalendarItem item(cal->GetDocumentElement()->GetElement(0)->GetElement(0));
  item.SetLocation("Room 1");
  item.SetEnd_(TDateTime::Encode(2024, 5, 1, 11, 0, 0));
  item.SetStart_(TDateTime::Encode(2024, 5, 1, 10, 0, 0));
  item.SetSubject("Review");
  item.SetReminderMinutesBeforeStart("15");
  item.SetLegacyFreeBusyStatus(TLegacyFreeBusy::lfbBusy);
  item.GetRequiredAttendees()->GetAttendee()->Add()->GetMailbox()->SetEmailAddress("b@example.com");
  auto* weekly = item.GetRecurrence()->GetWeeklyRecurrence();
  weekly->SetInterval(1);
  weekly->SetDaysOfWeek("Monday Wednesday");
  item.GetRecurrence()->GetNumberedRecurrence()->SetNumberOfOccurrences(4);
  item.GetRecurrence()->GetNumberedRecurrence()->SetStartDate(TDateTime::Encode(2024, 5, 1));
  v = ews_test::ValidateElement(cal->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << cal->GetXML();
}

}  // namespace
