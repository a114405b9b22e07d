#!/usr/bin/env python3
"""Generates the EWS schema classes (uDvEWSTypes*) from the EWS schema files.

Usage: gen_types.py [<schema folder> <output folder>]
(default: data/ews-schema and ews/generated of this repository)

Reads types.xsd and messages.xsd and writes:
  uDvEWSTypesEnums.h / .cpp   one enum class per enumeration, with wire texts and lookups
  uDvEWSTypes.h               one class per complex type (declarations only)
  uDvEWSTypes<N>.cpp          class tables and accessor bodies, split into several files
  uDvEWSTypesTable.cpp        the table of every class (lookup by class or schema type name)

Python 3 standard library only; the output depends on nothing but the input files, so running
the generator again reproduces it byte for byte.

Rules (see docs/ARCHITECTURE.md, "Schema classes"):
- Class names: "TEws" + the schema type name less a final "Type"; the exceptions are listed in
  CLASS_NAME_EXCEPTIONS. Anonymous types are named after their owner and element
  ("TEwsMessage_MailboxGuids").
- Enumeration names: "T" + the simple type name less a final "Type" (ENUM_NAME_EXCEPTIONS
  otherwise). Value names: a serializer-hint prefix + the wire text, with every character
  that cannot appear in an identifier replaced by "_". The prefix is the initials of the
  capitalised words of the schema type name, less a final "Type"/"Types" word, in lower case
  (a run of capitals such as "URI" or "SID" counts as one word): SensitivityChoicesType -> sc,
  MapiPropertyTypeType -> mpt, DistinguishedFolderIdNameType -> dfin, UnindexedFieldURIType ->
  ufu. ExchangeVersionType (TServerVersion) and UserPhotoSizeType (TSizeRequested) have no
  prefix.
- Indexes: the declarations of classes with element content are numbered by one running counter
  over the unit, in schema order (types.xsd, then messages.xsd), so an index is unique within a
  class and its ancestors; classes with only attributes and text number from 0 (a derived class
  continues after its base). A few classes keep fixed numbers (INDEX_ANCHORS); children the
  newer schema adds to a class with a reference list are numbered after that list, and the
  counter skips every anchored range.
"""

import os
import re
import sys
import xml.etree.ElementTree as ET

XS = "{http://www.w3.org/2001/XMLSchema}"
NS_T = "http://schemas.microsoft.com/exchange/services/2006/types"
NS_M = "http://schemas.microsoft.com/exchange/services/2006/messages"
NS_XS = "http://www.w3.org/2001/XMLSchema"
PREFIX_OF_NS = {NS_T: "t", NS_M: "m"}

CPP_FILES = 6  # number of uDvEWSTypes<N>.cpp files

# ---------------------------------------------------------------------------------------------
# Names the library's other units use, which the generated code must provide exactly.

REQUIRED_CLASSES = [
    "TEwsArrayOfFolders", "TEwsArrayOfRealItems", "TEwsBaseFolder", "TEwsBody",
    "TEwsCalendarItem", "TEwsContactItem", "TEwsDistributionList", "TEwsEmailAddressType",
    "TEwsFolder", "TEwsFolderId", "TEwsItem", "TEwsItemId", "TEwsMailTips",
    "TEwsMeetingMessage", "TEwsMeetingRegistrationResponseObject", "TEwsMeetingRequestMessage",
    "TEwsMessage", "TEwsSmartResponse", "TEwsTask", "TDvEwsNonEmptyArrayOfAlternateIds",
]

# Schema types whose class name is not the default one.
CLASS_NAME_EXCEPTIONS = {
    # "EmailAddressType" and "EmailAddress" are both complex types: the former keeps its suffix.
    ("t", "EmailAddressType"): "TEwsEmailAddressType",
    # The notifications unit names its event handler types TEwsBaseObjectChangedEvent,
    # TEwsModifiedEvent and TEwsMovedCopiedEvent; the schema classes keep their suffix.
    ("t", "BaseObjectChangedEventType"): "TEwsBaseObjectChangedEventType",
    ("t", "ModifiedEventType"): "TEwsModifiedEventType",
    ("t", "MovedCopiedEventType"): "TEwsMovedCopiedEventType",
}

# Class names reserved by other units (never generated).
RESERVED_CLASS_NAMES = {
    "TEwsBaseObjectChangedEvent", "TEwsModifiedEvent", "TEwsMovedCopiedEvent",
    "TDvEwsAlternateId", "TDvEwsMeetingResponse", "TDvEwsWellKnownResponse",
}

# Classes that are not schema types: (class name, wrapped element, children). Children are
# (qualified name, schema type, minOccurs, maxOccurs).
EXTRA_CLASSES = [
    # The ConvertId result: the "ResponseMessages" element of the response, whose
    # "ConvertIdResponseMessage" children each carry one alternate id.
    ("TDvEwsNonEmptyArrayOfAlternateIds", "m:ResponseMessages",
     [("m:ConvertIdResponseMessage", ("m", "ConvertIdResponseMessageType"), 1, -1)]),
]

# Enumerations named otherwise than "T" + type name less "Type".
ENUM_NAME_EXCEPTIONS = {
    ("t", "ExchangeVersionType"): "TServerVersion",
    ("t", "UserPhotoSizeType"): "TSizeRequested",
    ("t", "MailTipTypes"): "TMailTip",
}
# Enumerations whose value names carry no prefix.
NO_PREFIX_ENUMS = {("t", "ExchangeVersionType"), ("t", "UserPhotoSizeType")}
# Value identifiers that differ from prefix + wire text: {(enum name, wire text): identifier}.
VALUE_NAME_EXCEPTIONS = {
    ("TSizeRequested", "HR96x96"): "HR96X96",
    ("TSizeRequested", "HR120x120"): "HR120X120",
    ("TSizeRequested", "HR240x240"): "HR240X240",
    ("TSizeRequested", "HR360x360"): "HR360X360",
    ("TSizeRequested", "HR432x432"): "HR432X432",
    ("TSizeRequested", "HR504x504"): "HR504X504",
    ("TSizeRequested", "HR648x648"): "HR648X648",
}

# Enumerations whose values are the element names of an xs:choice: enum name -> (kind, schema
# name). kind "type": the choice of a complex type; "group": the choice of a named group.
CHOICE_ENUMS = [
    ("TExtendedPropertyType", "type", "ExtendedPropertyType"),
    ("TRecurrenceType", "group", "RecurrencePatternTypes"),
    ("TRecurrenceType2", "group", "RecurrenceRangeTypes"),
    ("TTimeChangeType", "group", "TimeChangePatternTypes"),
    ("TTaskRecurrenceType", "group", "TaskRecurrencePatternTypes"),
    ("TTaskRecurrenceType2", "group", "RecurrenceRangeTypes"),
    ("TItemAttachmentType", "type", "ItemAttachmentType"),
    ("TConnectingSIDType", "type", "ConnectingSIDType"),
    ("TSetItemFieldType", "type", "SetItemFieldType"),
    ("TAppendToItemFieldType", "type", "AppendToItemFieldType"),
    ("TSetFolderFieldType", "type", "SetFolderFieldType"),
    ("TAppendToFolderFieldType", "type", "AppendToFolderFieldType"),
    ("TItemChangeType", "type", "ItemChangeType"),
    ("TFolderChangeType", "type", "FolderChangeType"),
    ("TFindItemParentType", "type", "FindItemParentType"),
]

REQUIRED_ENUMS = [
    "TServerVersion", "TSensitivityChoices", "TBodyType", "TImportanceChoices", "TMailboxType",
    "TSendPrompt", "TDistinguishedPropertySet", "TMapiPropertyType", "TExtendedPropertyType",
    "TFlagStatus", "TEmailPosition", "TPredictedActionReason", "TIconIndex", "TLegacyFreeBusy",
    "TCalendarItemType", "TResponseType", "TEmailReminderChange", "TEmailReminderSendOption",
    "TFileAsMapping", "TEmailAddressKey", "TAbchEmailAddressType", "TPhysicalAddressKey",
    "TPhoneNumberKey", "TContactSource", "TImAddressKey", "TPhysicalAddressIndex",
    "TContactUrlKey", "TMemberStatus", "TMeetingRequestType", "TDayOfWeek", "TDayOfWeekIndex",
    "TMonthNames", "TRecurrenceType", "TRecurrenceType2", "TTimeChangeType",
    "TTransitionTargetKind", "TLocationSource", "TTaskDelegateState", "TTaskRecurrenceType",
    "TTaskRecurrenceType2", "TTaskStatus", "TRoleMemberType", "TLobbyBypass",
    "TOnlineMeetingAccessLevel", "TPresenters", "TItemAttachmentType", "TDictionaryURI",
    "TExceptionPropertyURI", "TUnindexedFieldURI", "TConnectingSIDType", "TSetItemFieldType",
    "TAppendToItemFieldType", "TDistinguishedFolderIdName", "TDistinguishedUser",
    "TPermissionAction", "TPermissionReadAccess", "TPermissionLevel",
    "TCalendarPermissionReadAccess", "TCalendarPermissionLevel", "TSearchFolderTraversal",
    "TSetFolderFieldType", "TAppendToFolderFieldType", "TItemChangeType", "TCreateAction",
    "TFolderChangeType", "TFindItemParentType", "TInstantSearchItem", "TIdFormat", "TElcFolder",
    "TItemTypesFilter", "TInsightStatus", "TMailTip", "TOofState", "TExternalAudience",
    "TSizeRequested",
]

# Enumeration value names other units use (each must exist, in its enumeration).
REQUIRED_VALUES = {
    "TServerVersion": ["Exchange2007", "Exchange2007_SP1", "Exchange2009", "Exchange2010",
                       "Exchange2010_SP1", "Exchange2010_SP2", "Exchange2012", "Exchange2013",
                       "Exchange2013_SP1", "Exchange2015", "Exchange2016", "V2015_10_05",
                       "V2016_01_06"],
    "TSensitivityChoices": ["scNormal", "scPrivate"],
    "TMapiPropertyType": ["mptInteger"],
    "TBodyType": ["btHTML", "btText"],
    "TDistinguishedFolderIdName": ["dfincalendar", "dfininbox", "dfinarchiveroot",
                                   "dfinscheduled"],
    "TUnindexedFieldURI": ["ufuitem_Subject", "ufufolder_FolderId", "ufubooking_ServiceIds",
                           "ufubooking_StaffIds", "ufubooking_StaffInitials",
                           "ufubooking_CustomerName", "ufubooking_CustomerEmail",
                           "ufubooking_CustomerPhone", "ufubooking_CustomerId"],
    "TDictionaryURI": ["duitem_InternetMessageHeader", "ducontacts_EmailAddress"],
    "TCalendarItemType": ["citSingle", "citOccurrence", "citException", "citRecurringMaster"],
    "TOofState": ["osDisabled", "osEnabled", "osScheduled"],
    "TExternalAudience": ["eaNone", "eaKnown", "eaAll"],
    "TSizeRequested": ["HR48x48", "HR64x64", "HR96X96", "HR120X120", "HR240X240", "HR360X360",
                       "HR432X432", "HR504X504", "HR648X648"],
    "TMailboxType": ["mtUnknown", "mtOneOff", "mtMailbox", "mtPublicDL", "mtPrivateDL",
                     "mtContact", "mtPublicFolder", "mtGroupMailbox"],
    "TMemberStatus": ["msUnrecognized", "msNormal", "msDemoted"],
    "TConnectingSIDType": ["csPrincipalName", "csSID", "csPrimarySmtpAddress", "csSmtpAddress"],
    "TSetFolderFieldType": ["sffFolder", "sffCalendarFolder", "sffContactsFolder",
                            "sffSearchFolder", "sffTasksFolder"],
    "TItemAttachmentType": ["iaItem", "iaMessage", "iaCalendarItem", "iaContact",
                            "iaMeetingMessage", "iaMeetingRequest", "iaMeetingResponse",
                            "iaMeetingCancellation", "iaTask", "iaPostItem", "iaRoleMember",
                            "iaNetwork", "iaPerson"],
}

# Classes with fixed index numbers: schema type -> (first index, reference list of children or
# None). Children of the reference list get consecutive numbers in the list's order; children
# not in the list are numbered after it, in schema order.
INDEX_ANCHORS = {
    ("t", "ItemType"): (93, [
        "MimeContent", "ItemId", "ParentFolderId", "ItemClass", "Subject", "Sensitivity", "Body",
        "Attachments", "DateTimeReceived", "Size", "Categories", "Importance", "InReplyTo",
        "IsSubmitted", "IsDraft", "IsFromMe", "IsResend", "IsUnmodified",
        "InternetMessageHeaders", "DateTimeSent", "DateTimeCreated", "ResponseObjects",
        "ReminderDueBy", "ReminderIsSet", "ReminderNextTime", "ReminderMinutesBeforeStart",
        "DisplayCc", "DisplayTo", "HasAttachments", "ExtendedProperty", "Culture",
        "EffectiveRights", "LastModifiedName", "LastModifiedTime", "IsAssociated",
        "WebClientReadFormQueryString", "WebClientEditFormQueryString", "ConversationId",
        "UniqueBody", "Flag", "StoreEntryId", "InstanceKey", "NormalizedBody",
        "EntityExtractionResult", "PolicyTag", "ArchiveTag", "RetentionDate", "Preview",
        "RightsManagementLicenseData", "PredictedActionReasons", "IsClutter", "BlockStatus",
        "HasBlockedImages", "TextBody", "IconIndex", "SearchKey", "SortKey", "Hashtags",
        "Mentions", "MentionedMe", "MentionsPreview", "MentionsEx", "AppliedHashtags",
        "AppliedHashtagsPreview", "Likes", "LikesPreview", "PendingSocialActivityTagIds",
        "AtAllMention"]),
    ("t", "MessageType"): (235, [
        "Sender", "ToRecipients", "CcRecipients", "BccRecipients", "IsReadReceiptRequested",
        "IsDeliveryReceiptRequested", "ConversationIndex", "ConversationTopic", "From",
        "InternetMessageId", "IsRead", "IsResponseRequested", "References", "ReplyTo",
        "ReceivedBy", "ReceivedRepresenting", "ApprovalRequestData", "VotingInformation",
        "ReminderMessageData", "SenderSMTPAddress", "MailboxGuids"]),
    ("t", "BaseFolderType"): (653, None),
    ("t", "FolderType"): (666, None),
}

# Published names of elements whose names clash with reserved words or members.
RENAMED_NODES = {"To", "Create", "String", "Property", "Type", "And", "Or", "Message", "Start",
                 "End"}

# Members of the base classes: a generated accessor must not hide one of them.
BASE_MEMBERS = {
    "GetNodeByIndex", "GetNode", "FindNode", "RemoveNode", "FindSchemaInfo", "AsElement",
    "GetXML", "GetClassInfo", "GetClassName", "AddSchemaInfo", "GetSchemaInfo",
    "GetChildObject", "GetArrayChild", "GetEnumOrdinal", "SetEnumOrdinal", "GetPropertyByName",
    "GetArrayByName", "SetOnMissingElement", "GetOnMissingElement", "HasElement",
    "GetElementText", "SetElementText",
}

KIND_OF_XS = {
    "string": "String", "normalizedString": "String", "token": "String", "NCName": "String",
    "Name": "String", "QName": "String", "ID": "String", "IDREF": "String", "hexBinary": "String",
    "anyType": "String", "anySimpleType": "String",
    "int": "Int", "short": "Int", "byte": "Int", "unsignedShort": "Int", "unsignedByte": "Int",
    "long": "Long", "unsignedInt": "Long", "integer": "Long", "nonNegativeInteger": "Long",
    "positiveInteger": "Long", "negativeInteger": "Long", "nonPositiveInteger": "Long",
    "unsignedLong": "Long",
    "boolean": "Boolean", "double": "Double", "float": "Double", "decimal": "Double",
    "dateTime": "Datetime", "date": "Date", "time": "Time", "duration": "Duration",
    "base64Binary": "Base64binary", "anyURI": "AnyUri", "language": "Language",
}

CPP_TYPE = {
    "String": "std::string", "Int": "std::int32_t", "Long": "std::int64_t", "Boolean": "bool",
    "Double": "double", "Datetime": "TDateTime", "Date": "TDateTime", "Time": "TDateTime",
    "Duration": "std::string", "Base64binary": "TBytes", "AnyUri": "std::string",
    "Language": "std::string", "Guid": "TGUID",
}
PASS_BY_REF = {"std::string", "TBytes", "TGUID"}


class GenError(Exception):
    pass


def fail(msg):
    raise GenError(msg)


# ---------------------------------------------------------------------------------------------
# Schema reading


class Schema:
    def __init__(self, folder):
        self.roots = {}
        for prefix, fname in (("t", "types.xsd"), ("m", "messages.xsd")):
            self.roots[prefix] = ET.parse(os.path.join(folder, fname)).getroot()
        self.complex = {}   # (prefix, name) -> node
        self.simple = {}
        self.elements = {}
        self.groups = {}
        self.attr_groups = {}
        self.order = []     # complex type keys in schema order
        self.subst = {}     # head key -> [member keys] in schema order
        for prefix in ("t", "m"):
            root = self.roots[prefix]
            for node in root:
                name = node.get("name")
                key = (prefix, name)
                if node.tag == XS + "complexType":
                    self.complex[key] = node
                    self.order.append(key)
                elif node.tag == XS + "simpleType":
                    self.simple[key] = node
                elif node.tag == XS + "element":
                    self.elements[key] = node
                    sg = node.get("substitutionGroup")
                    if sg:
                        self.subst.setdefault(self.qkey(sg), []).append(key)
                elif node.tag == XS + "group":
                    self.groups[key] = node
                elif node.tag == XS + "attributeGroup":
                    self.attr_groups[key] = node

    @staticmethod
    def qkey(qname):
        if ":" in qname:
            p, n = qname.split(":", 1)
        else:
            p, n = "t", qname
        return (p, n)


def is_xs(key):
    return key[0] == "xs"


def split_words(name):
    """Splits a type name into its capitalised words; a run of capitals is one word."""
    return re.findall(r"[A-Z]+(?=[A-Z][a-z])|[A-Z]+[a-z0-9]*|[a-z0-9]+", name)


def hint_prefix(type_name):
    words = split_words(type_name)
    if len(words) > 1 and words[-1] in ("Type", "Types"):
        words = words[:-1]
    return "".join(w[0].lower() for w in words if w[0].isalpha())


def strip_type(name):
    return name[:-4] if name.endswith("Type") and len(name) > 4 else name


def identifier_of(text):
    s = re.sub(r"[^A-Za-z0-9_]", "_", text)
    return s


# ---------------------------------------------------------------------------------------------
# Model


class Enum:
    def __init__(self, name, schema_name, prefix, wires):
        self.name = name
        self.schema_name = schema_name
        self.prefix = prefix
        self.wires = wires
        self.idents = []
        for w in wires:
            ident = VALUE_NAME_EXCEPTIONS.get((name, w), prefix + identifier_of(w))
            self.idents.append(ident)
        if len(set(self.idents)) != len(self.idents):
            fail("duplicate value names in " + name)
        if len(set(wires)) != len(wires):
            fail("duplicate wire texts in " + name)


class Decl:
    def __init__(self, node_kind, qname, min_occ, max_occ, required, choice, kind, ref):
        self.index = -1
        self.node_kind = node_kind  # 1 element, 2 attribute
        self.qname = qname
        self.local = qname.split(":", 1)[1] if (":" in qname and node_kind == 1) else qname
        self.min = min_occ
        self.max = max_occ
        self.required = required
        self.choice = choice
        self.kind = kind  # String ... Guid, Enum, Class, Array, SimpleArray
        self.ref = ref    # enum name or class name
        self.prop = (self.local + "_") if self.local in RENAMED_NODES else self.local
        # Names with characters that cannot appear in an identifier ("xml:lang",
        # "Microsoft.OutlookServices.SenderApp") publish them as "_".
        self.prop = identifier_of(self.prop)


class Cls:
    def __init__(self, name, key):
        self.name = name
        self.key = key          # (prefix, schema name) or None
        self.base = None        # Cls or None
        self.decls = []         # own declarations, in declaration order
        self.text_kind = None   # for simple content: kind of the text value
        self.text_ref = None
        self.node = None
        self.has_elements = False
        self.choice_count = 0
        self.done = False
        self.owner_elem = None  # for the extra classes: qualified element name

    def all_decls(self):
        return (self.base.all_decls() if self.base else []) + self.decls

    def total_choices(self):
        return (self.base.total_choices() if self.base else 0) + self.choice_count


class Generator:
    def __init__(self, folder):
        self.s = Schema(folder)
        self.enums = {}          # name -> Enum
        self.enum_of_simple = {}  # simple key -> enum name
        self.classes = {}        # name -> Cls
        self.class_of_key = {}   # (prefix, name) -> Cls
        self.array_types = set()
        self.list_owner = None

    # ---- simple types ----

    def simple_kind(self, key, owner_hint=None, node=None):
        """Returns (kind, enum name or None) of a simple type key or an anonymous node."""
        if node is None:
            if key[0] == "xs":
                return (KIND_OF_XS.get(key[1], "String"), None)
            if key == ("t", "GuidType"):
                return ("Guid", None)
            if key in self.enum_of_simple:
                return ("Enum", self.enum_of_simple[key])
            node = self.s.simple.get(key)
            if node is None:
                if key in self.s.complex:
                    return None
                fail("unknown simple type %s:%s" % key)
        restr = node.find(XS + "restriction")
        if restr is not None:
            enums = [e.get("value") for e in restr.findall(XS + "enumeration")]
            if enums:
                name = self.enum_name_for(key, owner_hint)
                if name not in self.enums:
                    self.add_enum(name, key, enums)
                if key is not None:
                    self.enum_of_simple[key] = name
                return ("Enum", name)
            base = restr.get("base")
            if base:
                return self.simple_kind(self.qkey(base))
            inner = restr.find(XS + "simpleType")
            if inner is not None:
                return self.simple_kind(None, owner_hint, inner)
            return ("String", None)
        lst = node.find(XS + "list")
        if lst is not None:
            item = lst.get("itemType")
            if item:
                self.simple_kind(self.qkey(item))  # make sure its enumeration exists
            else:
                inner = lst.find(XS + "simpleType")
                if inner is not None:
                    hint = (self.enum_name_for(key, None)[1:] if key is not None
                            else (owner_hint or "") + "Item")
                    self.list_owner = key
                    self.simple_kind(None, hint, inner)
                    self.list_owner = None
            return ("String", None)
        return ("String", None)

    def qkey(self, qname):
        if qname.startswith("xs:"):
            return ("xs", qname[3:])
        return Schema.qkey(qname)

    def enum_name_for(self, key, owner_hint):
        if key is not None and key in ENUM_NAME_EXCEPTIONS:
            return ENUM_NAME_EXCEPTIONS[key]
        if key is not None:
            return "T" + strip_type(key[1])
        return "T" + owner_hint

    def add_enum(self, name, key, wires):
        schema_name = key[1] if key is not None else name[1:]
        if key is None and self.list_owner is not None:
            schema_name = self.list_owner[1]
        if key in NO_PREFIX_ENUMS:
            prefix = ""
        else:
            prefix = hint_prefix(schema_name)
        if name in self.enums:
            fail("duplicate enumeration name " + name)
        self.enums[name] = Enum(name, schema_name, prefix, wires)

    def all_simple_enums(self):
        for prefix in ("t", "m"):
            for node in self.s.roots[prefix]:
                if node.tag == XS + "simpleType":
                    self.simple_kind((prefix, node.get("name")))

    def choice_enums(self):
        for name, kind, schema_name in CHOICE_ENUMS:
            if kind == "group":
                node = self.s.groups[("t", schema_name)]
            else:
                node = self.s.complex[("t", schema_name)]
            choice = None
            for n in node.iter(XS + "choice"):
                choice = n
                break
            if choice is None:
                fail("no choice in " + schema_name)
            wires = []
            for e in choice.iter(XS + "element"):
                nm = e.get("name") or self.qkey(e.get("ref"))[1]
                if nm not in wires:
                    wires.append(nm)
            self.enums[name] = Enum(name, schema_name, hint_prefix(schema_name), wires)

    # ---- complex types ----

    def class_name(self, key):
        if key in CLASS_NAME_EXCEPTIONS:
            return CLASS_NAME_EXCEPTIONS[key]
        stripped = strip_type(key[1])
        if stripped != key[1] and (key[0], stripped) in self.s.complex:
            # "XType" beside a type "X": the former keeps its suffix.
            return "TEws" + key[1]
        return "TEws" + stripped

    def declare_classes(self):
        names = {}
        for key in self.s.order:
            name = self.class_name(key)
            if name in names or name in RESERVED_CLASS_NAMES:
                # A clash between a "...Type" type and a type without the suffix: keep the
                # suffix of the former.
                fail("class name clash: %s (%s:%s and %s:%s)" % ((name,) + key + names.get(
                    name, ("", ""))))
            names[name] = key
            c = Cls(name, key)
            c.node = self.s.complex[key]
            self.classes[name] = c
            self.class_of_key[key] = c

    def anon_class(self, owner, elem_name, node, prefix):
        name = owner.name + "_" + elem_name
        if name in self.classes:
            return self.classes[name]
        c = Cls(name, None)
        c.node = node
        c.ns_prefix = prefix
        self.classes[name] = c
        self.build(c)
        return c

    def build_all(self):
        for key in self.s.order:
            self.build(self.class_of_key[key])
        for name, elem, children in EXTRA_CLASSES:
            c = Cls(name, None)
            c.owner_elem = elem
            c.has_elements = True
            for qname, tkey, mn, mx in children:
                target = self.class_of_key[tkey]
                self.build(target)
                d = Decl(1, qname, mn, mx, False, -1, "Array", target.name)
                self.array_types.add(target.name)
                c.decls.append(d)
            c.done = True
            self.classes[name] = c

    def build(self, c):
        if c.done:
            return
        c.done = True
        node = c.node
        prefix = c.key[0] if c.key else getattr(c, "ns_prefix", "t")
        c.ns_prefix = prefix
        self.cur_prefix = prefix
        sc = node.find(XS + "simpleContent")
        cc = node.find(XS + "complexContent")
        if sc is not None:
            der = sc.find(XS + "extension")
            if der is None:
                der = sc.find(XS + "restriction")
            base = self.qkey(der.get("base"))
            if base in self.s.complex:
                c.base = self.class_of_key[base]
                self.build(c.base)
            else:
                c.text_kind, c.text_ref = self.simple_kind(base)
            self.attributes(c, der, prefix)
        elif cc is not None:
            der = cc.find(XS + "extension")
            restriction = der is None
            if der is None:
                der = cc.find(XS + "restriction")
            base = self.qkey(der.get("base"))
            if base[0] != "xs":
                c.base = self.class_of_key[base]
                self.build(c.base)
            if not restriction:
                self.particles(c, der, prefix, 1, 1, -1)
            self.attributes(c, der, prefix)
        else:
            self.particles(c, node, prefix, 1, 1, -1)
            self.attributes(c, node, prefix)
        # Merge declarations of the same name (an element in several branches).
        seen = {}
        inherited = {(d.node_kind, d.local) for d in (c.base.all_decls() if c.base else [])}
        out = []
        for d in c.decls:
            k = (d.node_kind, d.local)
            if k in inherited:
                continue
            if k in seen:
                prev = seen[k]
                prev.max = -1 if (prev.max == -1 or d.max == -1) else max(prev.max, d.max)
                prev.min = min(prev.min, d.min)
                if prev.max != 1 and prev.kind not in ("Array", "SimpleArray"):
                    self.to_array(prev)
                continue
            seen[k] = d
            out.append(d)
        c.decls = out
        if any(d.node_kind == 1 for d in c.all_decls()):
            c.has_elements = True

    def to_array(self, d):
        if d.kind == "Class":
            d.kind = "Array"
            self.array_types.add(d.ref)
        else:
            d.kind = "SimpleArray"
            d.ref = None

    def attributes(self, c, node, prefix):
        for a in node:
            if a.tag == XS + "attribute":
                ref = a.get("ref")
                if ref:
                    name = ref
                    kind, eref = ("Language", None) if ref == "xml:lang" else ("String", None)
                else:
                    name = a.get("name")
                    t = a.get("type")
                    if t:
                        kind, eref = self.simple_kind(self.qkey(t))
                    else:
                        inner = a.find(XS + "simpleType")
                        if inner is not None:
                            kind, eref = self.simple_kind(None, strip_type(c.name[4:]) + name,
                                                          inner)
                        else:
                            kind, eref = ("String", None)
                required = a.get("use") == "required"
                c.decls.append(Decl(2, name, 1 if required else 0, 1, required, -1, kind, eref))
            elif a.tag == XS + "attributeGroup":
                g = self.s.attr_groups[self.qkey(a.get("ref"))]
                self.attributes(c, g, prefix)

    @staticmethod
    def occurs(node, attr, default):
        v = node.get(attr)
        if v is None:
            return default
        if v == "unbounded":
            return -1
        return int(v)

    @staticmethod
    def mul(a, b):
        if a == -1 or b == -1:
            return -1 if (a != 0 and b != 0) else 0
        return a * b

    def particles(self, c, node, prefix, pmin, pmax, choice):
        for p in node:
            tag = p.tag
            if tag in (XS + "sequence", XS + "all"):
                mn = self.occurs(p, "minOccurs", 1)
                mx = self.occurs(p, "maxOccurs", 1)
                self.particles(c, p, prefix, pmin * mn, self.mul(pmax, mx), choice)
            elif tag == XS + "choice":
                mn = self.occurs(p, "minOccurs", 1)
                mx = self.occurs(p, "maxOccurs", 1)
                group = c.total_choices()
                c.choice_count += 1
                # Members of a choice are optional one by one.
                self.particles(c, p, prefix, 0, self.mul(pmax, mx), group)
            elif tag == XS + "group":
                g = self.s.groups[self.qkey(p.get("ref"))]
                mn = self.occurs(p, "minOccurs", 1)
                mx = self.occurs(p, "maxOccurs", 1)
                self.particles(c, g, "t", pmin * mn, self.mul(pmax, mx), choice)
            elif tag == XS + "element":
                mn = pmin * self.occurs(p, "minOccurs", 1)
                mx = self.mul(pmax, self.occurs(p, "maxOccurs", 1))
                ref = p.get("ref")
                if ref:
                    hkey = self.qkey(ref)
                    head = self.s.elements[hkey]
                    members = self.s.subst.get(hkey, [])
                    if members:
                        group = choice
                        if group == -1:
                            group = c.total_choices()
                            c.choice_count += 1
                        cands = ([] if head.get("abstract") == "true" else [hkey]) + members
                        for k in cands:
                            e = self.s.elements[k]
                            self.element_decl(c, k[0], k[1], e, 0, mx, group)
                    else:
                        self.element_decl(c, hkey[0], hkey[1], head, mn, mx, choice)
                else:
                    self.element_decl(c, prefix, p.get("name"), p, mn, mx, choice)
            elif tag == XS + "any":
                continue

    def element_decl(self, c, prefix, name, e, mn, mx, choice):
        qname = prefix + ":" + name
        t = e.get("type")
        if t:
            tkey = self.qkey(t)
            if tkey in self.s.complex:
                kind, ref = "Class", self.class_of_key[tkey].name
            else:
                kind, ref = self.simple_kind(tkey)
        else:
            inner_c = e.find(XS + "complexType")
            inner_s = e.find(XS + "simpleType")
            if inner_c is not None:
                saved = self.cur_prefix
                ac = self.anon_class(c, name, inner_c, prefix)
                self.cur_prefix = saved
                kind, ref = "Class", ac.name
            elif inner_s is not None:
                kind, ref = self.simple_kind(None, strip_type(c.name[4:]) + name, inner_s)
            else:
                kind, ref = "String", None
        d = Decl(1, qname, mn, mx, False, choice, kind, ref)
        if mx != 1:
            self.to_array(d)
        c.decls.append(d)

    # ---- indexes ----

    def number(self):
        reserved = []
        for key, (first, ref) in INDEX_ANCHORS.items():
            c = self.class_of_key[key]
            reserved.append((first, first + len(c.decls) - 1))
        counter = 0
        numbered = set()

        def next_free(start, n):
            moved = True
            while moved:
                moved = False
                for lo, hi in reserved:
                    if start <= hi and start + n - 1 >= lo:
                        start = hi + 1
                        moved = True
            return start

        def assign(c):
            nonlocal counter
            if c.name in numbered:
                return
            if c.base:
                assign(c.base)
            numbered.add(c.name)
            parent_next = 0
            if c.base:
                idx = [d.index for d in c.base.all_decls()]
                parent_next = max(idx) + 1 if idx else c.base.next_index
            c.next_index = parent_next
            if not c.decls:
                return
            anchor = INDEX_ANCHORS.get(c.key) if c.key else None
            if anchor:
                first, ref = anchor
                if first < parent_next:
                    fail("anchor of %s below its base's indexes" % c.name)
                if ref:
                    names = [d.local for d in c.decls]
                    pos = [names.index(n) if n in names else -1 for n in ref]
                    if -1 in pos:
                        fail("%s lacks %s" % (c.name, ref[pos.index(-1)]))
                    if pos != sorted(pos):
                        fail("%s children are not in the reference order" % c.name)
                    i = first
                    for n in ref:
                        c.decls[names.index(n)].index = i
                        i += 1
                    for d in c.decls:
                        if d.index < 0:
                            d.index = i
                            i += 1
                else:
                    for i, d in enumerate(c.decls):
                        d.index = first + i
                c.next_index = first + len(c.decls)
                return
            if c.has_elements:
                start = next_free(max(counter, parent_next), len(c.decls))
                counter = start + len(c.decls)
            else:
                start = parent_next
            for i, d in enumerate(c.decls):
                d.index = start + i
            c.next_index = start + len(c.decls)

        for c in self.ordered_classes():
            assign(c)
        # Checks: indexes unique within a class and its ancestors.
        for c in self.classes.values():
            idx = [d.index for d in c.all_decls()]
            if len(set(idx)) != len(idx) or min(idx or [0]) < 0:
                fail("index clash in " + c.name)

    def ordered_classes(self):
        """Every class, in schema order, anonymous classes after their owner."""
        out = []
        seen = set()
        names = [self.class_of_key[k].name for k in self.s.order]
        rest = [n for n in self.classes if n not in set(names)]
        for n in names + rest:
            if n not in seen:
                seen.add(n)
                out.append(self.classes[n])
        return out

    def descendants(self, c):
        """Every class derived from c, directly or not, sorted by name."""
        if not hasattr(self, "_children"):
            self._children = {}
            for k in self.classes.values():
                if k.base:
                    self._children.setdefault(k.base.name, []).append(k.name)
        out = []
        todo = list(self._children.get(c.name, []))
        while todo:
            n = todo.pop()
            out.append(n)
            todo.extend(self._children.get(n, []))
        return sorted(out)

    def emit_order(self):
        """Classes with each base before its derived classes."""
        out = []
        seen = set()

        def visit(c):
            if c.name in seen:
                return
            if c.base:
                visit(c.base)
            seen.add(c.name)
            out.append(c)

        for c in self.ordered_classes():
            visit(c)
        return out

    # ---- checks ----

    def check(self):
        for n in REQUIRED_CLASSES:
            if n not in self.classes:
                fail("class %s is missing" % n)
        for n in REQUIRED_ENUMS:
            if n not in self.enums:
                fail("enumeration %s is missing" % n)
        for en, values in REQUIRED_VALUES.items():
            idents = self.enums[en].idents
            pos = []
            for v in values:
                if v not in idents:
                    fail("value %s of %s is missing" % (v, en))
                pos.append(idents.index(v))
        for en in ("TServerVersion", "TDistinguishedFolderIdName", "TSizeRequested",
                   "TMailboxType", "TItemAttachmentType"):
            vals = REQUIRED_VALUES.get(en)
            if vals:
                idents = self.enums[en].idents
                pos = [idents.index(v) for v in vals]
                if pos != sorted(pos):
                    fail("values of %s are not in the reference order" % en)
        for c in self.classes.values():
            props = set()
            for d in c.all_decls():
                getter = "Get" + d.prop
                has_setter = d.kind not in ("Class", "Array", "SimpleArray")
                if getter in BASE_MEMBERS or (has_setter and ("Set" + d.prop) in BASE_MEMBERS):
                    fail("%s::%s hides a base member" % (c.name, getter))
                if d.prop in props:
                    fail("%s has two children published as %s" % (c.name, d.prop))
                props.add(d.prop)
            if c.text_kind and "Value" in props:
                fail("%s: a child named Value clashes with the text value" % c.name)

    def run(self):
        self.all_simple_enums()
        self.choice_enums()
        self.declare_classes()
        self.build_all()
        self.resolve_props()
        self.number()
        self.check()

    def resolve_props(self):
        # An attribute and an element of the same name in one class: the attribute is published
        # with the suffix "Attribute".
        for c in self.classes.values():
            names = {d.prop for d in c.all_decls() if d.node_kind == 1}
            for d in c.decls:
                if d.node_kind == 2 and d.prop in names:
                    d.prop += "Attribute"


# ---------------------------------------------------------------------------------------------
# Output

HEADER_NOTE = "// Generated by scripts/gen_types.py from the EWS schema. Do not edit.\n"


def cpp_str(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def emit_enums_h(g):
    out = [HEADER_NOTE, "// One enum class per schema enumeration, with wire texts and lookups "
           "(DvEnumToXML, DvXMLToEnum).\n#pragma once\n\n#include \"DvXMLSchema.h\"\n\n"
           "namespace dv {\n\n"]
    for name in sorted(g.enums):
        e = g.enums[name]
        out.append("// %s (prefix \"%s\")\n" % (e.schema_name, e.prefix))
        out.append("enum class %s {\n" % name)
        line = " "
        for ident in e.idents:
            item = " " + ident + ","
            if len(line) + len(item) > 98:
                out.append(line + "\n")
                line = " "
            line += item
        out.append(line + "\n};\n")
        out.append("extern const TDvEnumTypeInfo DvEnumInfo_%s;\n" % name)
        out.append("inline const TDvEnumTypeInfo& DvEnumTypeInfo(%s) { return DvEnumInfo_%s; }\n\n"
                   % (name, name))
    out.append("// Every generated enumeration, sorted by name.\n"
               "const TDvEnumTypeInfo* const* DvEwsEnumTypes(int& count);\n\n")
    out.append("}  // namespace dv\n")
    return "".join(out)


def emit_enums_cpp(g):
    out = [HEADER_NOTE, "#include \"uDvEWSTypesEnums.h\"\n\n#include <iterator>\n\n"
           "namespace dv {\n\nnamespace {\n\n"]
    names = sorted(g.enums)
    for i, name in enumerate(names):
        e = g.enums[name]
        out.append("constexpr std::string_view kIdent%d[] = {\n" % i)
        for ident in e.idents:
            out.append("    %s,\n" % cpp_str(ident))
        out.append("};\nconstexpr std::string_view kWire%d[] = {\n" % i)
        for w in e.wires:
            out.append("    %s,\n" % cpp_str(w))
        order = sorted(range(len(e.wires)), key=lambda k: e.wires[k].encode("utf-8"))
        out.append("};\nconstexpr std::uint16_t kSorted%d[] = {" % i)
        out.append(", ".join(str(k) for k in order))
        out.append("};\n\n")
    out.append("}  // namespace\n\n")
    for i, name in enumerate(names):
        e = g.enums[name]
        out.append("constinit const TDvEnumTypeInfo DvEnumInfo_%s = {%s, %s, %d, kIdent%d, kWire%d, "
                   "kSorted%d};\n" % (name, cpp_str(name), cpp_str(e.prefix), len(e.wires), i, i,
                                       i))
    out.append("\nnamespace {\n\nconstinit const TDvEnumTypeInfo* const kAll[] = {\n")
    for name in names:
        out.append("    &DvEnumInfo_%s,\n" % name)
    out.append("};\n\n}  // namespace\n")
    out.append("\nconst TDvEnumTypeInfo* const* DvEwsEnumTypes(int& count) {\n"
               "  count = static_cast<int>(std::size(kAll));\n  return kAll;\n}\n\n"
               "}  // namespace dv\n")
    return "".join(out)


def getter_type(d):
    if d.kind == "Class":
        return d.ref + "*"
    if d.kind == "Array":
        return "TDvXMLSchemaElementArray<%s>*" % d.ref
    if d.kind == "SimpleArray":
        return "TDvXMLSchemaElementArray<TDvXMLSchemaSimpleContentElement<std::string>>*"
    if d.kind == "Enum":
        return d.ref
    return CPP_TYPE[d.kind]


def setter_param(d):
    if d.kind == "Enum":
        return d.ref + " value"
    t = CPP_TYPE[d.kind]
    return ("const %s& value" % t) if t in PASS_BY_REF else ("%s value" % t)


def emit_types_h(g):
    out = [HEADER_NOTE, "// One class per EWS schema complex type, over the schema element base "
           "(DvXMLSchema.h).\n// Declarations only; the bodies are in uDvEWSTypes<N>.cpp.\n"
           "#pragma once\n\n#include \"DvXMLSchema.h\"\n#include \"uDvEWSTypesEnums.h\"\n\n"
           "namespace dv {\n\n"]
    order = g.emit_order()
    for c in sorted(order, key=lambda c: c.name):
        out.append("class %s;\n" % c.name)
    out.append("\n")
    for c in order:
        base = c.base.name if c.base else "TDvXMLSchemaElement"
        src = ("%s:%s" % c.key) if c.key else (c.owner_elem or "anonymous type")
        out.append("// %s\n" % src)
        out.append("class %s : public %s {\n public:\n" % (c.name, base))
        out.append("  static const TDvXMLSchemaClassInfo ClassInfo;\n")
        if c.text_kind or any(d.prop == "Value" and d.kind not in ("Class", "Array", "SimpleArray")
                              for d in c.decls):
            out.append("  using TDvXMLSchemaElement::SetValue;\n")
        out.append("  explicit %s(const DvDOMElementPtr& element) : %s(element, ClassInfo) {}\n"
                   % (c.name, c.name))
        if c.text_kind:
            if c.text_kind == "Enum":
                out.append("  %s GetValue();\n  void SetValue(%s value);\n"
                           % (c.text_ref, c.text_ref))
            else:
                t = CPP_TYPE[c.text_kind]
                p = ("const %s&" % t) if t in PASS_BY_REF else t
                out.append("  %s GetValue();\n  void SetValue(%s value);\n" % (t, p))
        for d in c.decls:
            out.append("  %s Get%s();\n" % (getter_type(d), d.prop))
            if d.kind not in ("Class", "Array", "SimpleArray"):
                out.append("  void Set%s(%s);\n" % (d.prop, setter_param(d)))
        out.append("\n protected:\n")
        out.append("  %s(const DvDOMElementPtr& element, const TDvXMLSchemaClassInfo& info)\n"
                   "      : %s(element, info) {}\n};\n\n" % (c.name, base))
    out.append("// Every generated class, sorted by class name.\n"
               "const TDvXMLSchemaClassInfo* const* DvEwsSchemaClasses(int& count);\n"
               "// A generated class by class name (\"TEwsItem\") or schema type name "
               "(\"ItemType\", \"m:ConvertIdResponseMessageType\"); none when unknown.\n"
               "const TDvXMLSchemaClassInfo* DvFindEwsSchemaClass(std::string_view name);\n\n")
    out.append("}  // namespace dv\n")
    return "".join(out)


KIND_ENUM = {
    "String": "String", "Int": "Int", "Long": "Long", "Boolean": "Boolean", "Double": "Double",
    "Datetime": "Datetime", "Date": "Date", "Time": "Time", "Duration": "Duration",
    "Base64binary": "Base64binary", "AnyUri": "AnyUri", "Language": "Language", "Guid": "Guid",
    "Enum": "Enum", "Class": "Class", "Array": "Array", "SimpleArray": "SimpleArray",
}


def emit_class_cpp(g, classes, part):
    out = [HEADER_NOTE, "#include \"uDvEWSTypes.h\"\n\nnamespace dv {\n\nnamespace {\n\n"]
    arrays = sorted({d.ref for c in classes for d in c.all_decls() if d.kind == "Array"})
    for a in arrays:
        out.append("std::unique_ptr<TDvXMLSchemaElementArrayBase> NewArrayOf%s(\n"
                   "    const DvDOMElementPtr& parent, std::string_view name) {\n"
                   "  return std::unique_ptr<TDvXMLSchemaElementArrayBase>(\n"
                   "      new TDvXMLSchemaElementArray<%s>(parent, name));\n}\n" % (a, a))
    out.append("\n")
    for c in classes:
        decls = c.all_decls()
        out.append("std::unique_ptr<TDvXMLSchemaElement> New%s(const DvDOMElementPtr& e) {\n"
                   "  return std::unique_ptr<TDvXMLSchemaElement>(new %s(e));\n}\n"
                   % (c.name, c.name))
        if decls:
            out.append("constinit const TDvXMLSchemaInfo kDecls%s[] = {\n" % c.name)
            for pos, d in enumerate(decls):
                cls_ref = ("&%s::ClassInfo" % d.ref) if d.kind in ("Class", "Array") else \
                    "nullptr"
                enum_ref = ("&DvEnumInfo_%s" % d.ref) if d.kind == "Enum" else "nullptr"
                arr = ("&NewArrayOf%s" % d.ref) if d.kind == "Array" else (
                    "&DvNewSimpleContentArray" if d.kind == "SimpleArray" else "nullptr")
                out.append("    {%d, %d, %s, %s, %s, %d, %d, %s, %d, TDvXMLSchemaValueKind::%s, "
                           "%s, %s, %s, %d},\n" % (
                               d.index, d.node_kind, cpp_str(d.qname), cpp_str(d.local),
                               cpp_str(d.prop), d.min, d.max, "true" if d.required else "false",
                               d.choice, KIND_ENUM[d.kind], cls_ref, enum_ref, arr, pos))
            out.append("};\n")
            by_index = sorted(range(len(decls)), key=lambda k: decls[k].index)
            out.append("constexpr std::uint16_t kByIndex%s[] = {%s};\n" % (
                c.name, ", ".join(str(k) for k in by_index)))
            by_name = sorted(range(len(decls)), key=lambda k: (decls[k].local.encode(), k))
            out.append("constexpr std::uint16_t kByName%s[] = {%s};\n" % (
                c.name, ", ".join(str(k) for k in by_name)))
        derived = g.descendants(c)
        if derived:
            out.append("constinit const TDvXMLSchemaClassInfo* const kDerived%s[] = {%s};\n" % (
                c.name, ", ".join("&%s::ClassInfo" % d for d in derived)))
    out.append("\n}  // namespace\n\n")
    for c in classes:
        decls = c.all_decls()
        derived = g.descendants(c)
        base = ("&%s::ClassInfo" % c.base.name) if c.base else "nullptr"
        schema_name = ("%s:%s" % c.key) if c.key else ""
        elem = c.owner_elem or ""
        tk = KIND_ENUM[c.text_kind] if c.text_kind else "None"
        tenum = ("&DvEnumInfo_%s" % c.text_ref) if c.text_kind == "Enum" else "nullptr"
        if decls:
            tables = "kDecls%s, kByIndex%s, kByName%s, %d" % (c.name, c.name, c.name, len(decls))
        else:
            tables = "nullptr, nullptr, nullptr, 0"
        der = ("kDerived%s, %d" % (c.name, len(derived))) if derived else "nullptr, 0"
        out.append("constinit const TDvXMLSchemaClassInfo %s::ClassInfo = {%s, %s, %s, %s, &New%s, %s, "
                   "TDvXMLSchemaValueKind::%s, %s, %s};\n" % (
                       c.name, cpp_str(c.name), cpp_str(schema_name), cpp_str(elem), base,
                       c.name, tables, tk, tenum, der))
        if c.text_kind:
            if c.text_kind == "Enum":
                out.append("%s %s::GetValue() { return static_cast<%s>(GetTextEnumOrdinal()); }\n"
                           % (c.text_ref, c.name, c.text_ref))
                out.append("void %s::SetValue(%s value) { SetTextEnumOrdinal(static_cast<int>"
                           "(value)); }\n" % (c.name, c.text_ref))
            else:
                t = CPP_TYPE[c.text_kind]
                p = ("const %s&" % t) if t in PASS_BY_REF else t
                out.append("%s %s::GetValue() { return GetTextAs%s(); }\n"
                           % (t, c.name, c.text_kind))
                out.append("void %s::SetValue(%s value) { SetTextAs%s(value); }\n"
                           % (c.name, p, c.text_kind))
        for d in c.decls:
            gt = getter_type(d)
            if d.kind == "Class":
                body = "return static_cast<%s*>(GetChildObject(%d));" % (d.ref, d.index)
            elif d.kind in ("Array", "SimpleArray"):
                body = "return static_cast<%s>(GetArrayChild(%d));" % (gt, d.index)
            elif d.kind == "Enum":
                body = "return static_cast<%s>(GetEnumOrdinal(%d));" % (d.ref, d.index)
            else:
                body = "return GetAs%s(%d);" % (d.kind, d.index)
            out.append("%s %s::Get%s() { %s }\n" % (gt, c.name, d.prop, body))
            if d.kind == "Enum":
                out.append("void %s::Set%s(%s) { SetEnumOrdinal(%d, static_cast<int>(value)); }\n"
                           % (c.name, d.prop, setter_param(d), d.index))
            elif d.kind not in ("Class", "Array", "SimpleArray"):
                out.append("void %s::Set%s(%s) { SetAs%s(%d, value); }\n"
                           % (c.name, d.prop, setter_param(d), d.kind, d.index))
        out.append("\n")
    out.append("}  // namespace dv\n")
    return "".join(out)


def emit_table_cpp(g):
    out = [HEADER_NOTE, "#include <algorithm>\n\n#include \"uDvEWSTypes.h\"\n\nnamespace dv {\n\n"
           "namespace {\n\n"]
    names = sorted(g.classes)
    out.append("constinit const TDvXMLSchemaClassInfo* const kAll[] = {\n")
    for n in names:
        out.append("    &%s::ClassInfo,\n" % n)
    out.append("};\n\n")
    # Lookup by schema type name ("ItemType" or "m:ItemType").
    keyed = []
    for n in names:
        c = g.classes[n]
        if c.key:
            keyed.append(("%s:%s" % c.key, n))
    keyed.sort(key=lambda kv: kv[0].encode())
    out.append("struct TSchemaName {\n  std::string_view Name;\n  const TDvXMLSchemaClassInfo* "
               "Info;\n};\nconstinit const TSchemaName kBySchemaName[] = {\n")
    for k, n in keyed:
        out.append("    {%s, &%s::ClassInfo},\n" % (cpp_str(k), n))
    out.append("};\n\n}  // namespace\n\n")
    out.append("const TDvXMLSchemaClassInfo* const* DvEwsSchemaClasses(int& count) {\n"
               "  count = static_cast<int>(std::size(kAll));\n  return kAll;\n}\n\n")
    out.append(
        "const TDvXMLSchemaClassInfo* DvFindEwsSchemaClass(std::string_view name) {\n"
        "  auto byClass = std::lower_bound(std::begin(kAll), std::end(kAll), name,\n"
        "                                  [](const TDvXMLSchemaClassInfo* info, std::string_view n)"
        " {\n"
        "                                    return info->Name < n;\n"
        "                                  });\n"
        "  if (byClass != std::end(kAll) && (*byClass)->Name == name) return *byClass;\n"
        "  std::string key;\n"
        "  if (name.find(':') == std::string_view::npos) key = \"t:\";\n"
        "  key += name;\n"
        "  auto bySchema = std::lower_bound(std::begin(kBySchemaName), std::end(kBySchemaName), "
        "key,\n"
        "                                   [](const TSchemaName& s, const std::string& n) {\n"
        "                                     return s.Name < n;\n"
        "                                   });\n"
        "  if (bySchema != std::end(kBySchemaName) && bySchema->Name == key) return "
        "bySchema->Info;\n"
        "  return nullptr;\n}\n\n}  // namespace dv\n")
    return "".join(out)


def main(argv):
    if len(argv) == 1:
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
        argv = [argv[0], os.path.join(root, "data", "ews-schema"), os.path.join(root, "ews", "generated")]
    if len(argv) != 3:
        sys.stderr.write("usage: gen_types.py [<schema folder> <output folder>]\n")
        return 2
    g = Generator(argv[1])
    try:
        g.run()
    except GenError as e:
        sys.stderr.write("gen_types.py: %s\n" % e)
        return 1
    os.makedirs(argv[2], exist_ok=True)
    files = {
        "uDvEWSTypesEnums.h": emit_enums_h(g),
        "uDvEWSTypesEnums.cpp": emit_enums_cpp(g),
        "uDvEWSTypes.h": emit_types_h(g),
        "uDvEWSTypesTable.cpp": emit_table_cpp(g),
    }
    order = g.emit_order()
    # Split into parts of roughly equal numbers of declarations.
    total = sum(len(c.all_decls()) + 4 for c in order)
    part, acc, chunks = 0, 0, [[] for _ in range(CPP_FILES)]
    for c in order:
        chunks[min(part, CPP_FILES - 1)].append(c)
        acc += len(c.all_decls()) + 4
        if acc >= total * (part + 1) / CPP_FILES:
            part += 1
    for i, chunk in enumerate(chunks):
        files["uDvEWSTypes%d.cpp" % (i + 1)] = emit_class_cpp(g, chunk, i + 1)
    for name, text in files.items():
        with open(os.path.join(argv[2], name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    n_decl = sum(len(c.decls) for c in g.classes.values())
    n_attr = sum(1 for c in g.classes.values() for d in c.decls if d.node_kind == 2)
    n_val = sum(len(e.wires) for e in g.enums.values())
    sys.stdout.write("%d classes, %d child declarations (%d elements, %d attributes), "
                     "%d enumerations, %d values\n" % (len(g.classes), n_decl, n_decl - n_attr,
                                                       n_attr, len(g.enums), n_val))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
