// The mailbox's services and the contact kinds: oof, categories, rooms, photo, contacts/contact,
// tasks/task and dl.
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "ews_context.h"
#include "uDvEWSMessageExContacts.h"
#include "uDvEWSMsgStoreServices.h"

namespace ewscli {

namespace {

// The options of the group's commands.
struct State {
  CLI::App *oof = nullptr, *oofOn = nullptr, *oofOff = nullptr;
  std::string reply, external, audience = "known", from, until;
  CLI::App *categories = nullptr, *rooms = nullptr, *photo = nullptr;
  std::string roomList, address;
  int size = 96;
  CLI::App *contacts = nullptr, *contactAdd = nullptr, *contactShow = nullptr;
  std::string where, name, company, photoFile, id;
  std::vector<std::string> emails, phones;
  CLI::App *tasks = nullptr, *taskAdd = nullptr, *taskDone = nullptr;
  bool all = false;
  std::string subject, due;
  CLI::App *dlExpand = nullptr, *dlCreate = nullptr;
  bool direct = false;
  std::vector<std::string> members;
};

State& S() {
  static State state;
  return state;
}

dv::TDateTime DateArgument(const std::string& option, const std::string& text) {
  try {
    return dv::DvXMLToDateTime(text);
  } catch (const dv::Exception&) {
    Usage(option + ": \"" + text + "\" is not a date (YYYY-MM-DD or YYYY-MM-DDThh:mm:ssZ)");
  }
}

std::string Date(dv::TDateTime t) {
  return t.IsZero() ? std::string() : dv::DvDateTimeToXML(t);
}

template <typename E>
std::string EnumText(E value) {
  return dv::DvEnumToXML(value);
}

// ---- oof

void ShowOof(Context& ctx) {
  auto oof = ctx.Conn().Store()->GetOOF();
  json j = {{"state", EnumText(oof->GetState())},
            {"audience", EnumText(oof->GetExternalAudience())},
            {"allowed", EnumText(oof->GetAllowExternalOof())},
            {"from", Date(oof->GetStartTime())},
            {"until", Date(oof->GetEndTime())},
            {"internal", oof->GetInternalReply()},
            {"external", oof->GetExternalReply()}};
  ctx.PrintObject(j);
}

void OofOn(Context& ctx) {
  State& s = S();
  static const std::pair<const char*, dv::TExternalAudience> audiences[] = {
      {"known", dv::TExternalAudience::eaKnown},
      {"all", dv::TExternalAudience::eaAll},
      {"none", dv::TExternalAudience::eaNone}};
  const dv::TExternalAudience* audience = nullptr;
  for (const auto& [text, value] : audiences)
    if (Lower(s.audience) == text) audience = &value;
  if (!audience) Usage("--audience: known, all or none");
  if (s.from.empty() != s.until.empty()) Usage("--from and --until go together");
  dv::TDateTime from, until;
  if (!s.from.empty()) {
    from = DateArgument("--from", s.from);
    until = DateArgument("--until", s.until);
    if (until.Value <= from.Value) Usage("--until must be after --from");
  }
  auto oof = ctx.Conn().Store()->GetOOF();
  oof->SetState(s.from.empty() ? dv::TOofState::osEnabled : dv::TOofState::osScheduled);
  if (!s.from.empty()) {
    oof->SetStartTime(from);
    oof->SetEndTime(until);
  }
  oof->SetInternalReply(s.reply);
  oof->SetExternalReply(s.external.empty() ? s.reply : s.external);
  oof->SetExternalAudience(*audience);
  oof->Apply();
  ctx.Done(s.from.empty() ? "automatic replies on" : "automatic replies scheduled",
           {{"state", EnumText(oof->GetState())}});
}

// ---- categories, rooms, photo

// A colour swatch for a terminal that shows 24-bit colour.
std::string Swatch(std::uint32_t bgr) {
  char text[48];
  std::snprintf(text, sizeof text, "\x1b[48;2;%u;%u;%um  \x1b[0m ", bgr & 0xFF, (bgr >> 8) & 0xFF,
                (bgr >> 16) & 0xFF);
  return text;
}

std::string Hex(std::uint32_t bgr) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", bgr & 0xFF, (bgr >> 8) & 0xFF,
                (bgr >> 16) & 0xFF);
  return text;
}

void Categories(Context& ctx) {
  auto list = ctx.Conn().Store()->GetCategories();
  const bool colour = !ctx.Json() && isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
  if (colour) {
    // Swatches carry escape codes, which a table cell would show as text.
    for (int i = 0; i < list->Count(); ++i) {
      const dv::TDvEWSCategory c = list->GetCategory(i);
      ctx.out << Swatch(c.Color) << TerminalText(c.Name)
              << (c.Name == list->GetDefaultCategory() ? "  (default)" : "") << '\n';
    }
    return;
  }
  Table table{{"name", "color", "default"}, {}};
  for (int i = 0; i < list->Count(); ++i) {
    const dv::TDvEWSCategory c = list->GetCategory(i);
    table.rows.push_back(
        {c.Name, Hex(c.Color), c.Name == list->GetDefaultCategory() ? "true" : "false"});
  }
  ctx.Print(table);
}

void PrintRecipients(Context& ctx, const dv::DvEWSRecipientsPtr& list) {
  Table table{{"name", "email", "type"}, {}};
  for (int i = 0; i < list->Count(); ++i) {
    auto r = list->GetRecipient(i);
    table.rows.push_back({r->GetName(), r->GetEmailAddress(), EnumText(r->GetMailboxType())});
  }
  ctx.Print(table);
}

void Photo(Context& ctx) {
  State& s = S();
  static const std::pair<int, dv::TSizeRequested> sizes[] = {
      {48, dv::TSizeRequested::HR48x48},    {64, dv::TSizeRequested::HR64x64},
      {96, dv::TSizeRequested::HR96X96},    {120, dv::TSizeRequested::HR120X120},
      {240, dv::TSizeRequested::HR240X240}, {360, dv::TSizeRequested::HR360X360},
      {432, dv::TSizeRequested::HR432X432}, {504, dv::TSizeRequested::HR504X504},
      {648, dv::TSizeRequested::HR648X648}};
  const dv::TSizeRequested* size = nullptr;
  for (const auto& [side, value] : sizes)
    if (side == s.size) size = &value;
  if (!size) Usage("--size: one of 48, 64, 96, 120, 240, 360, 432, 504, 648");
  if (!ctx.Json() && isatty(STDOUT_FILENO))
    Usage("the photo is binary: redirect it to a file (ews photo ADDRESS > photo.jpg)");
  std::ostringstream bytes;
  ctx.Conn().Store()->GetUserPhoto(bytes, *size, s.address);
  if (ctx.Json())
    ctx.PrintObject({{"address", s.address},
                     {"size", dv::DvEWSPhotoSizeText(*size)},
                     {"bytes", bytes.str().size()},
                     {"data", dv::DvBase64Encode(bytes.str())}});
  else
    ctx.out << bytes.str() << std::flush;
}

// ---- contacts

dv::DvEWSFolderPtr Distinguished(Context& ctx, dv::TDistinguishedFolderIdName name) {
  return ctx.Conn().Store()->GetFolder(name);
}

// Rows of a folder's items with the given columns, filtered by --where.
void List(Context& ctx, dv::TDistinguishedFolderIdName folderName,
          const std::vector<std::pair<std::string, std::string>>& columns, const std::string& where,
          const std::function<bool(const std::vector<std::string>&)>& keep) {
  FilterNodePtr filter;
  if (!where.empty()) {
    try {
      filter = ParseFilter(where);
    } catch (const FilterError& e) {
      Usage("bad filter at column " + std::to_string(e.Column()) + ": " + e.what());
    }
  }
  auto items = Distinguished(ctx, folderName)->GetItems();
  std::vector<dv::PDvEWSFieldDef> defs;
  Table table;
  for (const auto& [key, field] : columns) {
    defs.push_back(FieldByName(field));
    items->GetFields().Add(*defs.back());
    table.columns.push_back(key);
  }
  table.columns.push_back("id");
  if (filter) items->Filter(Compile(*items, *filter));
  for (items->Open(); !items->Eof(); items->Next()) {
    std::vector<std::string> row;
    for (auto def : defs)
      row.push_back(items->HasField(*def)
                        ? ShownText(KindOf(def), items->FieldByName(*def)->GetAsString())
                        : std::string());
    if (keep && !keep(row)) continue;
    row.push_back(items->GetItemId().Id);
    table.rows.push_back(std::move(row));
  }
  ctx.Print(table);
}

void ContactAdd(Context& ctx) {
  State& s = S();
  if (s.emails.size() > 3) Usage("--email: a contact has at most three addresses");
  CheckAddresses("--email", s.emails);
  std::string photo;
  if (!s.photoFile.empty()) photo = ReadFile(s.photoFile);
  auto contact = std::dynamic_pointer_cast<dv::IDvEWSContact>(
      Distinguished(ctx, dv::TDistinguishedFolderIdName::dfincontacts)
          ->CreateItem(dv::TItemType::tContact));
  contact->SetDisplayName(s.name);
  const auto space = s.name.rfind(' ');
  const bool givenNames =
      ctx.Conn().Session().GetServerVersion() >= dv::TServerVersion::Exchange2013_SP1;
  if (space != std::string::npos && givenNames) contact->SetGivenName(s.name.substr(0, space));
  contact->SetSurname(space == std::string::npos ? s.name : s.name.substr(space + 1));
  if (!s.company.empty()) contact->SetCompanyName(s.company);
  static const dv::TEmailAddressKey keys[] = {dv::TEmailAddressKey::eakEmailAddress1,
                                              dv::TEmailAddressKey::eakEmailAddress2,
                                              dv::TEmailAddressKey::eakEmailAddress3};
  for (std::size_t i = 0; i < s.emails.size(); ++i) {
    auto* e = static_cast<dv::TEwsEmailAddressDictionaryEntry*>(
        contact->GetEmailAddresses()->GetEntry()->AddElement());
    e->SetKey(keys[i]);
    e->SetValue(s.emails[i]);
  }
  static const dv::TPhoneNumberKey phoneKeys[] = {dv::TPhoneNumberKey::pnkBusinessPhone,
                                                  dv::TPhoneNumberKey::pnkMobilePhone,
                                                  dv::TPhoneNumberKey::pnkHomePhone};
  if (s.phones.size() > 3) Usage("--phone: at most three (business, mobile, home)");
  for (std::size_t i = 0; i < s.phones.size(); ++i) {
    auto* p = static_cast<dv::TEwsPhoneNumberDictionaryEntry*>(
        contact->GetPhoneNumbers()->GetEntry()->AddElement());
    p->SetKey(phoneKeys[i]);
    p->SetValue(s.phones[i]);
  }
  if (!photo.empty()) {
    std::istringstream in(photo);
    contact->SetUserPhoto(&in);
  }
  contact->SaveChanges(dv::TDvEWSSaveOption::soAutoResolve);
  ctx.Done("created " + contact->GetID().Id, {{"id", contact->GetID().Id}});
}

void ContactShow(Context& ctx) {
  auto contact =
      std::dynamic_pointer_cast<dv::IDvEWSContact>(ctx.Conn().Store()->GetItem({S().id, ""}));
  if (!contact) throw ToolError{kUsage, "item " + S().id + " is not a contact"};
  json emails = json::array(), phones = json::object();
  auto* entries = contact->GetEmailAddresses()->GetEntry();
  for (int i = 0; i < entries->Count(); ++i)
    emails.push_back(
        static_cast<dv::TEwsEmailAddressDictionaryEntry*>(entries->GetElement(i))->GetValue());
  auto* numbers = contact->GetPhoneNumbers()->GetEntry();
  for (int i = 0; i < numbers->Count(); ++i) {
    auto* p = static_cast<dv::TEwsPhoneNumberDictionaryEntry*>(numbers->GetElement(i));
    phones[EnumText(p->GetKey())] = p->GetValue();
  }
  std::ostringstream photo;
  const bool hasPhoto = contact->GetUserPhoto(photo);
  json j = {{"id", S().id},
            {"name", contact->GetDisplayName()},
            {"company", contact->GetCompanyName()},
            {"emails", emails},
            {"phones", phones},
            {"photo", hasPhoto ? std::to_string(photo.str().size()) + " bytes" : ""}};
  if (ctx.Conn().Session().GetServerVersion() >= dv::TServerVersion::Exchange2013_SP1)
    j["fileas"] = contact->GetFileAs();
  ctx.PrintObject(j);
}

// ---- tasks

void TaskAdd(Context& ctx) {
  State& s = S();
  dv::TDateTime due;
  if (!s.due.empty()) due = DateArgument("--due", s.due);
  auto task = std::dynamic_pointer_cast<dv::IDvEWSTask>(
      Distinguished(ctx, dv::TDistinguishedFolderIdName::dfintasks)
          ->CreateItem(dv::TItemType::tTask));
  task->SetSubject(s.subject);
  if (!s.due.empty()) task->SetDueDate(due);
  task->SaveChanges(dv::TDvEWSSaveOption::soAutoResolve);
  ctx.Done("created " + task->GetID().Id, {{"id", task->GetID().Id}});
}

void TaskDone(Context& ctx) {
  auto task = std::dynamic_pointer_cast<dv::IDvEWSTask>(ctx.Conn().Store()->GetItem({S().id, ""}));
  if (!task) throw ToolError{kUsage, "item " + S().id + " is not a task"};
  task->SetStatus(dv::TTaskStatus::tsCompleted);
  task->SaveChanges(dv::TDvEWSSaveOption::soAutoResolve);
  ctx.Done("completed " + S().id, {{"id", S().id}, {"status", "Completed"}});
}

// ---- distribution lists

void DlExpand(Context& ctx) {
  State& s = S();
  auto store = ctx.Conn().Store();
  dv::DvEWSRecipientsPtr members = s.address.find('@') != std::string::npos
                                       ? store->ExpandDL(s.address, !s.direct)
                                       : store->ExpandDL(dv::TItemId(s.address), !s.direct);
  PrintRecipients(ctx, members);
}

void DlCreate(Context& ctx) {
  State& s = S();
  CheckAddresses("MEMBER", s.members);
  auto list = std::dynamic_pointer_cast<dv::IDvEWSDistributionList>(
      Distinguished(ctx, dv::TDistinguishedFolderIdName::dfincontacts)
          ->CreateItem(dv::TItemType::tDistributionList));
  list->SetDisplayName(s.name);
  for (const auto& m : s.members)
    list->GetMembers().Add(m);
  list->SaveChanges(dv::TDvEWSSaveOption::soAutoResolve);
  ctx.Done("created " + list->GetID().Id, {{"id", list->GetID().Id}});
}

void Add(CLI::App& app, Context&) {
  State& s = S();
  s.oof =
      app.add_subcommand("oof", "show the automatic replies (out of office); on/off change them");
  s.oofOn = s.oof->add_subcommand("on", "turn automatic replies on, or schedule them");
  s.oofOn->add_option("--reply", s.reply, "the reply to people in the organisation")->required();
  s.oofOn->add_option("--external", s.external, "the reply to others (default: the same)");
  s.oofOn->add_option("--audience", s.audience, "who outside gets a reply: known, all or none");
  s.oofOn->add_option("--from", s.from, "start of a scheduled absence (ISO date)");
  s.oofOn->add_option("--until", s.until, "its end");
  Example(s.oofOn, "ews oof on --reply 'Back on Monday' --from 2026-12-20 --until 2027-01-04");
  s.oofOff = s.oof->add_subcommand("off", "turn automatic replies off and clear them");

  s.categories = app.add_subcommand("categories", "the master category list with colours");
  s.rooms = app.add_subcommand("rooms", "the room lists, or the rooms of one list");
  s.rooms->add_option("LIST", s.roomList, "a room list's address");
  Example(s.rooms, "ews rooms building1@example.com");
  s.photo = app.add_subcommand("photo", "a user's photo (JPEG bytes on standard output)");
  s.photo->add_option("ADDRESS", s.address, "the user (default: yourself)");
  s.photo->add_option("--size", s.size, "side in pixels: 48, 64, 96, 120, 240, 360, 432, 504, 648");
  Example(s.photo, "ews photo bob@example.com --size 96 > bob.jpg");

  s.contacts = app.add_subcommand("contacts", "the contacts of the Contacts folder");
  s.contacts->add_option("--where", s.where, "a filter, as for ls");
  auto* contact = app.add_subcommand("contact", "add or show a contact");
  contact->require_subcommand(1);
  s.contactAdd = contact->add_subcommand("add", "create a contact in Contacts");
  s.contactAdd->add_option("--name", s.name, "the full name")->required();
  s.contactAdd->add_option("--email", s.emails, "an e-mail address (up to three)");
  s.contactAdd->add_option("--phone", s.phones, "a phone number (business, mobile, home)");
  s.contactAdd->add_option("--company", s.company, "the company");
  s.contactAdd->add_option("--photo", s.photoFile, "a JPEG file for the contact's photo");
  Example(s.contactAdd, "ews contact add --name 'Erin Evans' --email erin@example.org");
  s.contactShow = contact->add_subcommand("show", "show a contact");
  s.contactShow->add_option("ID", s.id, "the contact's id")->required();

  s.tasks = app.add_subcommand("tasks", "open tasks (--all: completed ones too)");
  s.tasks->add_flag("--all", s.all, "list completed tasks too");
  auto* task = app.add_subcommand("task", "add or complete a task");
  task->require_subcommand(1);
  s.taskAdd = task->add_subcommand("add", "create a task");
  s.taskAdd->add_option("SUBJECT", s.subject, "what is to be done")->required();
  s.taskAdd->add_option("--due", s.due, "due date (ISO)");
  Example(s.taskAdd, "ews task add 'File the report' --due 2026-12-24");
  s.taskDone = task->add_subcommand("done", "mark a task completed");
  s.taskDone->add_option("ID", s.id, "the task's id")->required();

  auto* dl = app.add_subcommand("dl", "expand or create distribution lists");
  dl->require_subcommand(1);
  s.dlExpand = dl->add_subcommand("expand", "the people of a group (by address) or list (by id)");
  s.dlExpand->add_option("LIST", s.address, "a group's address or a private list's id")->required();
  s.dlExpand->add_flag("--direct", s.direct, "only the direct members, groups not expanded");
  s.dlCreate = dl->add_subcommand("create", "create a private list in Contacts");
  s.dlCreate->add_option("NAME", s.name, "the list's name")->required();
  s.dlCreate->add_option("MEMBER", s.members, "members' addresses")->required();
  Example(s.dlCreate, "ews dl create 'Lunch club' bob@example.com team@example.com");
}

bool Run(Context& ctx) {
  State& s = S();
  if (s.oofOn && s.oofOn->parsed()) {
    OofOn(ctx);
  } else if (s.oofOff && s.oofOff->parsed()) {
    ctx.Conn().Store()->GetOOF()->Clear();
    ctx.Done("automatic replies off", {{"state", "Disabled"}});
  } else if (s.oof && s.oof->parsed()) {
    ShowOof(ctx);
  } else if (s.categories && s.categories->parsed()) {
    Categories(ctx);
  } else if (s.rooms && s.rooms->parsed()) {
    auto store = ctx.Conn().Store();
    PrintRecipients(ctx, s.roomList.empty() ? store->GetRoomLists() : store->GetRooms(s.roomList));
  } else if (s.photo && s.photo->parsed()) {
    Photo(ctx);
  } else if (s.contacts && s.contacts->parsed()) {
    List(ctx, dv::TDistinguishedFolderIdName::dfincontacts,
         {{"name", "FLD_CONTACTS_DISPLAYNAME"},
          {"email", "FLD_CONTACTS_EMAILADDRESS1"},
          {"company", "FLD_CONTACTS_COMPANYNAME"}},
         s.where, {});
  } else if (s.contactAdd && s.contactAdd->parsed()) {
    ContactAdd(ctx);
  } else if (s.contactShow && s.contactShow->parsed()) {
    ContactShow(ctx);
  } else if (s.tasks && s.tasks->parsed()) {
    const bool all = s.all;
    List(ctx, dv::TDistinguishedFolderIdName::dfintasks,
         {{"subject", "FLD_ITEM_SUBJECT"},
          {"status", "FLD_TASK_STATUS"},
          {"due", "FLD_TASK_DUEDATE"},
          {"percent", "FLD_TASK_PERCENTCOMPLETE"}},
         {}, [all](const std::vector<std::string>& row) { return all || row[1] != "Completed"; });
  } else if (s.taskAdd && s.taskAdd->parsed()) {
    TaskAdd(ctx);
  } else if (s.taskDone && s.taskDone->parsed()) {
    TaskDone(ctx);
  } else if (s.dlExpand && s.dlExpand->parsed()) {
    DlExpand(ctx);
  } else if (s.dlCreate && s.dlCreate->parsed()) {
    DlCreate(ctx);
  } else {
    return false;
  }
  return true;
}

const bool registered = RegisterCommands({Add, Run});

}  // namespace

}  // namespace ewscli
