// The generated schema classes: the names and indexes other units rely on, every enumeration's
// lookups both ways, a write/parse/read round trip of every class, the run-time tables, and the
// generator's reproduction of the committed output.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "test_helpers.h"
#include "uDvEWSTypes.h"

using namespace dv;
namespace fs = std::filesystem;

namespace {

DvDOMElementPtr Parse(DvDOMDocumentPtr& doc, const std::string& inner) {
  doc = DvCreateDOM(std::string("<m:Root") + ews_test::kEwsNs + ">" + inner + "</m:Root>");
  return doc->GetDocumentElement()->GetElement(0);
}

std::vector<std::string> DeclaredNames(const TDvXMLSchemaClassInfo& info, int from, int count) {
  std::vector<std::string> names;
  for (int i = from; i < from + count; ++i) {
    const TDvXMLSchemaInfo* d = info.FindByIndex(i);
    names.emplace_back(d ? std::string(d->LocalName) : "<none>");
  }
  return names;
}

TEST(GeneratedNames, ItemAndMessageKeepTheirIndexesAndOrder) {
  // Spot checks along the list: its first and last children, and the unbounded one.
  EXPECT_EQ(DeclaredNames(TEwsItem::ClassInfo, 93, 2),
            (std::vector<std::string>{"MimeContent", "ItemId"}));
  EXPECT_EQ(DeclaredNames(TEwsItem::ClassInfo, 159, 2),
            (std::vector<std::string>{"PendingSocialActivityTagIds", "AtAllMention"}));
  EXPECT_EQ(TEwsItem::ClassInfo.FindByIndex(122)->MaxOccurs, kDvSchemaUnbounded);
  EXPECT_EQ(TEwsItem::ClassInfo.FindByIndex(122)->QualifiedName, "t:ExtendedProperty");
  // Children of the newer schema are numbered after the list but declared in schema order.
  EXPECT_EQ(DeclaredNames(TEwsItem::ClassInfo, 161, 3),
            (std::vector<std::string>{"DisplayBcc", "CanDelete", "InferenceClassification"}));
  const TDvXMLSchemaInfo* bcc = TEwsItem::ClassInfo.FindByLocalName("DisplayBcc");
  EXPECT_EQ(bcc->Position, TEwsItem::ClassInfo.FindByLocalName("DisplayTo")->Position + 1);

  EXPECT_EQ(DeclaredNames(TEwsMessage::ClassInfo, 235, 2),
            (std::vector<std::string>{"Sender", "ToRecipients"}));
  EXPECT_EQ(DeclaredNames(TEwsMessage::ClassInfo, 254, 2),
            (std::vector<std::string>{"SenderSMTPAddress", "MailboxGuids"}));
  EXPECT_EQ(TEwsMessage::ClassInfo.Parent, &TEwsItem::ClassInfo);
  EXPECT_EQ(TEwsMessage::ClassInfo.FindByIndex(97)->LocalName, "Subject");  // inherited
  EXPECT_EQ(TEwsMessage::ClassInfo.Count, 71 + 24);
}

TEST(GeneratedNames, FoldersBodyAndAttributeOnlyClasses) {
  EXPECT_EQ(DeclaredNames(TEwsBaseFolder::ClassInfo, 653, 2),
            (std::vector<std::string>{"FolderId", "ParentFolderId"}));
  EXPECT_EQ(DeclaredNames(TEwsBaseFolder::ClassInfo, 665, 1),
            std::vector<std::string>{"ReplicaList"});
  EXPECT_EQ(DeclaredNames(TEwsFolder::ClassInfo, 666, 2),
            (std::vector<std::string>{"PermissionSet", "UnreadCount"}));
  EXPECT_EQ(TEwsFolder::ClassInfo.Parent, &TEwsBaseFolder::ClassInfo);

  const TDvXMLSchemaInfo* bodyType = TEwsBody::ClassInfo.FindByIndex(0);
  ASSERT_NE(bodyType, nullptr);
  EXPECT_EQ(bodyType->LocalName, "BodyType");
  EXPECT_EQ(bodyType->NodeKind, kDvSchemaAttributeNode);
  EXPECT_TRUE(bodyType->Required);
  EXPECT_EQ(bodyType->EnumType, &DvEnumInfo_TBodyType);
  EXPECT_EQ(TEwsBody::ClassInfo.FindByIndex(1)->LocalName, "IsTruncated");
  EXPECT_FALSE(TEwsBody::ClassInfo.FindByIndex(1)->Required);
  EXPECT_EQ(TEwsItemId::ClassInfo.FindByIndex(0)->LocalName, "Id");

  // Choice groups: the recurrence patterns share one group, the ranges another.
  const TDvXMLSchemaInfo* weekly = TEwsRecurrence::ClassInfo.FindByLocalName("WeeklyRecurrence");
  const TDvXMLSchemaInfo* daily = TEwsRecurrence::ClassInfo.FindByLocalName("DailyRecurrence");
  const TDvXMLSchemaInfo* endDate = TEwsRecurrence::ClassInfo.FindByLocalName("EndDateRecurrence");
  ASSERT_TRUE(weekly && daily && endDate);
  EXPECT_NE(weekly->ChoiceGroup, kDvSchemaNoChoice);
  EXPECT_EQ(weekly->ChoiceGroup, daily->ChoiceGroup);
  EXPECT_NE(weekly->ChoiceGroup, endDate->ChoiceGroup);
  const TDvXMLSchemaInfo* value = TEwsExtendedProperty::ClassInfo.FindByLocalName("Value");
  const TDvXMLSchemaInfo* values = TEwsExtendedProperty::ClassInfo.FindByLocalName("Values");
  EXPECT_EQ(value->ChoiceGroup, values->ChoiceGroup);
  EXPECT_EQ(TEwsExtendedProperty::ClassInfo.FindByLocalName("ExtendedFieldURI")->ChoiceGroup,
            kDvSchemaNoChoice);
}

TEST(GeneratedNames, RenamedChildrenAndRuntimeTables) {
  // Element names that clash with reserved words are published with a trailing "_".
  EXPECT_EQ(TEwsArrayOfRealItems::ClassInfo.FindByLocalName("Message")->PropName, "Message_");
  EXPECT_EQ(TEwsArrayOfRealItems::ClassInfo.FindByName("Message_")->LocalName, "Message");
  EXPECT_EQ(TEwsCalendarItem::ClassInfo.FindByLocalName("End")->PropName, "End_");
  EXPECT_EQ(TEwsCalendarItem::ClassInfo.FindByLocalName("Location")->PropName, "Location");

  EXPECT_EQ(DvFindEwsSchemaClass("TEwsItem"), &TEwsItem::ClassInfo);
  EXPECT_EQ(DvFindEwsSchemaClass("ItemType"), &TEwsItem::ClassInfo);
  EXPECT_EQ(DvFindEwsSchemaClass("t:EmailAddressType"), &TEwsEmailAddressType::ClassInfo);
  EXPECT_EQ(DvFindEwsSchemaClass("m:ConvertIdResponseMessageType"),
            &TEwsConvertIdResponseMessage::ClassInfo);
  EXPECT_EQ(DvFindEwsSchemaClass("NoSuchType"), nullptr);

  EXPECT_TRUE(TEwsMessage::ClassInfo.HasElement("Subject"));
  EXPECT_FALSE(TEwsItem::ClassInfo.HasElement("IsRead"));
  EXPECT_FALSE(TEwsBody::ClassInfo.HasElement("BodyType"));  // an attribute
  EXPECT_TRUE(TEwsContactItem::ClassInfo.InheritsFrom(TEwsItem::ClassInfo));
  EXPECT_FALSE(TEwsFolder::ClassInfo.InheritsFrom(TEwsItem::ClassInfo));

  const TDvXMLSchemaInfo* to = TEwsMessage::ClassInfo.FindByName("ToRecipients");
  EXPECT_EQ(to->Kind, TDvXMLSchemaValueKind::Class);
  EXPECT_EQ(to->ClassType, &TEwsArrayOfRecipients::ClassInfo);
  const TDvXMLSchemaInfo* mailbox = TEwsArrayOfRecipients::ClassInfo.FindByName("Mailbox");
  EXPECT_EQ(mailbox->Kind, TDvXMLSchemaValueKind::Array);
  EXPECT_EQ(mailbox->ClassType, &TEwsEmailAddressType::ClassInfo);
  EXPECT_EQ(TEwsMessage::ClassInfo.FindByName("IsRead")->Kind, TDvXMLSchemaValueKind::Boolean);
  EXPECT_EQ(TEwsArrayOfFolders::ClassInfo.FindByName("Folder")->Kind, TDvXMLSchemaValueKind::Array);
}

TEST(GeneratedNames, ConvertIdResultArray) {
  DvDOMDocumentPtr doc;
  TDvEwsNonEmptyArrayOfAlternateIds ids(Parse(
      doc,
      "<m:ResponseMessages><m:ConvertIdResponseMessage ResponseClass=\"Success\">"
      "<m:ResponseCode>NoError</m:ResponseCode><m:AlternateId "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:type=\"t:AlternateIdType\" "
      "Format=\"EwsId\" Id=\"AAMk\" Mailbox=\"a@example.com\"/></m:ConvertIdResponseMessage>"
      "</m:ResponseMessages>"));
  auto* messages = ids.GetConvertIdResponseMessage();
  ASSERT_EQ(messages->Count(), 1);
  TEwsConvertIdResponseMessage* m = messages->GetItem(0);
  EXPECT_EQ(m->GetResponseClass(), TResponseClass::rcSuccess);
  EXPECT_EQ(m->GetResponseCode(), TResponseCode::rcNoError);
  EXPECT_EQ(m->GetAlternateId()->GetFormat(), TIdFormat::ifEwsId);
  // The element's xsi:type picks the derived class.
  auto* alt = dynamic_cast<TEwsAlternateId*>(m->GetAlternateId());
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ(alt->GetId(), "AAMk");
  EXPECT_EQ(alt->GetMailbox(), "a@example.com");
  EXPECT_EQ(TEwsAlternateIdBase::ClassInfo.FindDerived("t:AlternatePublicFolderItemIdType"),
            &TEwsAlternatePublicFolderItemId::ClassInfo);
  EXPECT_EQ(TEwsAlternateId::ClassInfo.FindDerived("AlternatePublicFolderIdType"), nullptr);
}

// ---- Enumerations ----

TEST(GeneratedEnums, EveryValueConvertsBothWays) {
  int count = 0;
  const TDvEnumTypeInfo* const* all = DvEwsEnumTypes(count);
  ASSERT_GT(count, 150);
  int values = 0;
  for (int e = 0; e < count; ++e) {
    const TDvEnumTypeInfo& info = *all[e];
    std::set<std::string_view> wires;
    for (int o = 0; o < info.Count; ++o) {
      ++values;
      const std::string_view wire = info.ToXML(o);
      EXPECT_TRUE(wires.insert(wire).second) << info.Name << " " << wire;
      int back = -1;
      ASSERT_TRUE(info.FromXML(wire, back)) << info.Name << " " << wire;
      EXPECT_EQ(back, o) << info.Name << " " << wire;
      EXPECT_EQ(info.FindIdentifier(info.IdentifierOf(o)), o);
      // The identifier is the prefix and the wire text made an identifier (the one exception
      // is the photo sizes, whose names keep an upper-case X).
      std::string expected(info.Prefix);
      for (char c : wire) {
        expected += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
      }
      if (info.Name != "TSizeRequested") {
        EXPECT_EQ(info.IdentifierOf(o), expected);
      }
    }
    int none = -1;
    EXPECT_FALSE(info.FromXML("\x01no such value", none));
  }
  EXPECT_GT(values, 2000);
}

TEST(GeneratedEnums, NamedValuesAndWireTexts) {
  // Versions compare by age.
  EXPECT_LT(static_cast<int>(TServerVersion::Exchange2013),
            static_cast<int>(TServerVersion::Exchange2013_SP1));

  // Identifiers that differ from their wire texts, and a prefix made of the type's initials.
  EXPECT_EQ(DvEnumToXML(TSizeRequested::HR96X96), "HR96x96");
  EXPECT_EQ(DvEnumName(TSizeRequested::HR648X648), "HR648X648");
  EXPECT_EQ(DvEnumToXML(TUnindexedFieldURI::ufubooking_CustomerEmail), "booking:CustomerEmail");
  EXPECT_EQ(DvEnumTypeInfo(TExceptionPropertyURI{}).Prefix, "epu");

  EXPECT_EQ(DvXMLToEnum<TDistinguishedFolderIdName>("archive"),
            TDistinguishedFolderIdName::dfinarchive);
  EXPECT_EQ(DvXMLToEnum<TUnindexedFieldURI>("message:IsRead"),
            TUnindexedFieldURI::ufumessage_IsRead);
  EXPECT_EQ(DvXMLToEnum<TSizeRequested>("HR240x240"), TSizeRequested::HR240X240);
  EXPECT_THROW(DvXMLToEnum<TSizeRequested>("HR240X240"), EConvertError);
  EXPECT_THROW(DvXMLToEnum<TBodyType>("html"), EConvertError);
  TServerVersion v = TServerVersion::Exchange2007;
  EXPECT_FALSE(DvTryXMLToEnum("Exchange2099", v));
  EXPECT_TRUE(DvTryXMLToEnum("Exchange2010_SP2", v));
  EXPECT_EQ(v, TServerVersion::Exchange2010_SP2);
}

// ---- Round trip of every class ----

std::string SampleText(const TDvXMLSchemaInfo& d) {
  switch (d.Kind) {
    case TDvXMLSchemaValueKind::Language:
      return "en-GB";
    case TDvXMLSchemaValueKind::Guid:
      return "6f1a2b3c-0000-4000-8000-" + std::to_string(100000000000 + d.Index);
    case TDvXMLSchemaValueKind::Duration:
      return "PT" + std::to_string(d.Index) + "M";
    case TDvXMLSchemaValueKind::AnyUri:
      return "https://example.com/" + std::to_string(d.Index);
    default:
      return "v" + std::to_string(d.Index) + " <&>";
  }
}

const TDateTime kWhen = TDateTime::Encode(2023, 7, 5, 10, 20, 30);

using E = TDvXMLSchemaElement;
using K = TDvXMLSchemaValueKind;

// Writes `value` through `set` or, when checking, expects `get` to read it back.
template <typename S, typename G, typename V>
void Value(E& e, bool check, int index, S set, G get, const V& value) {
  if (check) {
    EXPECT_EQ((e.*get)(index), value);
  } else {
    (e.*set)(index, value);
  }
}

// Writes one sample value into a declared child or, with `check`, expects to read it back.
void Sample(E& e, const TDvXMLSchemaInfo& d, bool check) {
  const int i = d.Index;
  SCOPED_TRACE(std::string(d.LocalName));
  switch (d.Kind) {
    case K::Int:
      return Value(e, check, i, &E::SetAsInt, &E::GetAsInt, -i);
    case K::Long:
      return Value(e, check, i, &E::SetAsLong, &E::GetAsLong, 10000000000LL + i);
    case K::Boolean:
      return Value(e, check, i, &E::SetAsBoolean, &E::GetAsBoolean, true);
    case K::Double:
      return Value(e, check, i, &E::SetAsDouble, &E::GetAsDouble, i + 0.25);
    case K::Datetime:
      return Value(e, check, i, &E::SetAsDatetime, &E::GetAsDatetime, kWhen);
    case K::Time:
      return Value(e, check, i, &E::SetAsTime, &E::GetAsTime, TDateTime(0.5));
    case K::Base64binary:
      return Value(e, check, i, &E::SetAsBase64binary, &E::GetAsBase64binary,
                   TBytes{1, 2, static_cast<std::uint8_t>(i)});
    case K::Enum:
      return Value(e, check, i, &E::SetEnumOrdinal, &E::GetEnumOrdinal, d.EnumType->Count - 1);
    case K::Date:  // the time of day is dropped
      if (check) {
        EXPECT_EQ(e.GetAsDate(i), TDateTime::Encode(2023, 7, 5));
      } else {
        e.SetAsDate(i, kWhen);
      }
      return;
    case K::Guid:
      Value(e, check, i, &E::SetAsGuid, &E::GetAsGuid, DvStringToGUID(SampleText(d)));
      if (check) {
        EXPECT_EQ(e.GetAsString(i), SampleText(d));
      }
      return;
    case K::Class:
      if (check) {
        ASSERT_NE(e.GetNodeByIndex(i, false), nullptr);
        EXPECT_EQ(e.GetChildObject(i)->GetClassInfo(), d.ClassType);
      } else {
        e.GetChildObject(i);
      }
      return;
    case K::Array:
      if (check) {
        ASSERT_EQ(e.GetArrayChild(i)->Count(), 2);
        EXPECT_EQ(e.GetArrayChild(i)->GetElement(1)->GetClassInfo(), d.ClassType);
      } else {
        e.GetArrayChild(i)->AddElement();
        e.GetArrayChild(i)->AddElement();
      }
      return;
    case K::SimpleArray: {
      using Text = TDvXMLSchemaSimpleContentElement<std::string>;
      if (check) {
        ASSERT_EQ(e.GetArrayChild(i)->Count(), 1);
        EXPECT_EQ(static_cast<Text*>(e.GetArrayChild(i)->GetElement(0))->GetValue(), SampleText(d));
      } else {
        static_cast<Text*>(e.GetArrayChild(i)->AddElement())->SetValue(SampleText(d));
      }
      return;
    }
    default:
      if (check) {
        EXPECT_EQ(e.GetAsString(i), SampleText(d));
      } else {
        e.SetValue(i, SampleText(d));
      }
  }
}

TEST(GeneratedClasses, EveryClassRoundTripsThroughXML) {
  int count = 0;
  const TDvXMLSchemaClassInfo* const* all = DvEwsSchemaClasses(count);
  ASSERT_GT(count, 900);
  int declarations = 0;
  for (int c = 0; c < count; ++c) {
    const TDvXMLSchemaClassInfo& info = *all[c];
    SCOPED_TRACE(std::string(info.Name));
    DvDOMDocumentPtr doc;
    std::unique_ptr<TDvXMLSchemaElement> e = info.Create(Parse(doc, "<t:Sample/>"));
    ASSERT_EQ(e->GetClassInfo(), &info);
    for (int p = info.Count - 1; p >= 0; --p)  // in reverse declaration order
      Sample(*e, info.Decls[p], false);

    // Children come out in declaration order whatever order they were written in.
    int last = -1;
    const DvDOMElementPtr& el = e->AsElement();
    for (int i = 0; i < el->ElementCount(); ++i) {
      const TDvXMLSchemaInfo* d = info.FindByLocalName(el->GetElement(i)->GetLocalName());
      ASSERT_NE(d, nullptr);
      EXPECT_GE(d->Position, last);
      last = d->Position;
    }

    DvDOMDocumentPtr again;
    std::unique_ptr<TDvXMLSchemaElement> r = info.Create(Parse(again, e->GetXML()));
    for (int p = 0; p < info.Count; ++p)
      Sample(*r, info.Decls[p], true);
    declarations += info.Count;
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(declarations, 5000);
}

// The typed accessors call the base with their child's index.
TEST(GeneratedClasses, TypedAccessorsAddressTheirOwnChild) {
  DvDOMDocumentPtr doc;
  TEwsCalendarItem cal(Parse(doc, "<t:CalendarItem/>"));
  cal.SetSubject("Review");
  cal.SetStart_(kWhen);
  cal.SetEnd_(kWhen.AddMinutes(30));
  cal.SetIsAllDayEvent(false);
  cal.SetLegacyFreeBusyStatus(TLegacyFreeBusy::lfbTentative);
  cal.GetRequiredAttendees()->GetAttendee()->Add()->GetMailbox()->SetEmailAddress("b@x.org");
  DvDOMDocumentPtr again;
  TEwsCalendarItem r(Parse(again, cal.GetXML()));
  EXPECT_EQ(r.GetSubject(), "Review");
  EXPECT_EQ(r.GetStart_(), kWhen);
  EXPECT_NEAR(r.GetEnd_().Value, kWhen.AddMinutes(30).Value, 1e-8);
  EXPECT_EQ(r.GetLegacyFreeBusyStatus(), TLegacyFreeBusy::lfbTentative);
  EXPECT_EQ(r.FindNode("LegacyFreeBusyStatus")->GetAsString(), "Tentative");
  EXPECT_EQ(r.GetRequiredAttendees()->GetAttendee()->GetItem(0)->GetMailbox()->GetEmailAddress(),
            "b@x.org");
  EXPECT_EQ(r.AsElement()
                ->SelectSingleElement("RequiredAttendees/Attendee/Mailbox/EmailAddress")
                ->GetAsString(),
            "b@x.org");
}

// ---- The generator ----

int RunGenerator(const fs::path& schema, const fs::path& out, const fs::path& log) {
  const std::string cmd = std::string("\"") + EWS_PYTHON + "\" \"" + EWS_SOURCE_DIR +
                          "/scripts/gen_types.py\" \"" + schema.string() + "\" \"" + out.string() +
                          "\" > \"" + log.string() + "\" 2>&1";
  return std::system(cmd.c_str());
}

TEST(Generator, ReproducesTheCommittedOutputByteForByte) {
  ews_test::TempDir tmp;
  const fs::path out = tmp.Path() / "out";
  ASSERT_EQ(RunGenerator(fs::path(DVEWS_DATA_DIR) / "ews-schema", out, tmp.Path() / "log"), 0)
      << ews_test::ReadFile(tmp.Path() / "log");
  const fs::path committed = fs::path(EWS_SOURCE_DIR) / "ews" / "generated";
  std::set<std::string> produced, present;
  for (const auto& f : fs::directory_iterator(out))
    produced.insert(f.path().filename());
  for (const auto& f : fs::directory_iterator(committed)) {
    if (f.path().filename().string().rfind("uDvEWSTypes", 0) == 0) {
      present.insert(f.path().filename());
    }
  }
  EXPECT_EQ(produced, present);
  for (const std::string& name : produced) {
    EXPECT_TRUE(ews_test::ReadFile(out / name) == ews_test::ReadFile(committed / name))
        << name << " differs from the generator's output; rerun scripts/gen_types.py";
  }
}

// The generator refuses a schema that lacks a class or a value other units use.
TEST(Generator, FailsWhenANameOtherUnitsUseIsMissing) {
  struct Case {
    std::string from, to, message;
  };
  const Case cases[] = {
      {"\"MailTips\"", "\"MailTipz\"", "class TEwsMailTips is missing"},
      {"<xs:enumeration value=\"inbox\" />", "<xs:enumeration value=\"in-box\" />",
       "value dfininbox of TDistinguishedFolderIdName is missing"},
  };
  const fs::path source = fs::path(DVEWS_DATA_DIR) / "ews-schema";
  for (const Case& c : cases) {
    ews_test::TempDir tmp;
    std::string types = ews_test::ReadFile(source / "types.xsd");
    std::string messages = ews_test::ReadFile(source / "messages.xsd");
    auto replaceAll = [&](std::string& s, const std::string& from, const std::string& to) {
      int n = 0;
      for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at)) {
        s.replace(at, from.size(), to);
        at += to.size();
        ++n;
      }
      return n;
    };
    int n = replaceAll(types, c.from, c.to);
    ASSERT_GT(n, 0) << c.from;
    replaceAll(types, "t:" + c.from.substr(1), "t:" + c.to.substr(1));
    replaceAll(messages, "t:" + c.from.substr(1), "t:" + c.to.substr(1));
    std::ofstream(tmp.Path() / "types.xsd", std::ios::binary) << types;
    std::ofstream(tmp.Path() / "messages.xsd", std::ios::binary) << messages;
    EXPECT_NE(RunGenerator(tmp.Path(), tmp.Path() / "out", tmp.Path() / "log"), 0);
    EXPECT_NE(ews_test::ReadFile(tmp.Path() / "log").find(c.message), std::string::npos)
        << ews_test::ReadFile(tmp.Path() / "log");
  }
}

}  // namespace
