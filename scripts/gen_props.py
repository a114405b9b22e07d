#!/usr/bin/env python3
"""Generates the property catalogue (ews/generated/uDvEWSPropsCatalog*.{h,cpp}).

Inputs, all under the repository's data folder (data/):
  ews-schema/types.xsd                        element names (PR_) and field URIs (FLD_)
  mapi/property-tags.tsv                      MAPI property tags (MPR_, MFLD_)
  mapi/property-tags-openchange-extra.tsv     further tag names (MPR_, MFLD_)
  mapi/named-properties.tsv                   named properties (EPR_, EFLD_)

Usage: gen_props.py [--data DIR] [--out DIR] [--stats]

The output is deterministic: running the script twice over the same inputs gives the same bytes.
The naming rules are described in docs/ARCHITECTURE.md ("Property registry and catalogue").
"""

import argparse
import collections
import csv
import os
import re
import sys
import xml.etree.ElementTree as ET

XS = '{http://www.w3.org/2001/XMLSchema}'

# ---------------------------------------------------------------------------------------------
# Element definitions (PR_) and field definitions (FLD_)

# Element names whose definition is not simply "PR_" + the upper-cased name.
PR_NAME_EXCEPTIONS = {'StartDate': 'PR_START_DATE', 'EndDate': 'PR_END_DATE'}

# The complex contact name and its children, in catalogue order, with the contact field URI that
# EWS offers for each child (empty: none).
COMPLETE_NAME_CHILDREN = [
    ('Title', ''),
    ('FirstName', 'contacts:GivenName'),
    ('MiddleName', 'contacts:MiddleName'),
    ('LastName', 'contacts:Surname'),
    ('Suffix', 'contacts:Generation'),
    ('Initials', 'contacts:Initials'),
    ('FullName', 'contacts:DisplayName'),
]

# Keyed arrays: (element name, dictionary field URI, child name prefix, key type or fixed keys).
# The physical-address keys are listed Business, Home, Other (the schema lists Home first).
KEYED_ARRAYS = [
    ('EmailAddresses', 'contacts:EmailAddress', 'PR_', 'EmailAddressKeyType'),
    ('PhoneNumbers', 'contacts:PhoneNumber', 'PR_PHONENUMBER_', 'PhoneNumberKeyType'),
    ('PhysicalAddresses', 'contacts:PhysicalAddress', 'PR_PHYSICALADDRESS_',
     ['Business', 'Home', 'Other']),
]

# Field URI prefixes that the catalogue leaves out (no definitions exist for them).
SKIPPED_URI_PREFIXES = ('booking',)

# ---------------------------------------------------------------------------------------------
# Tagged MAPI properties (MPR_, MFLD_)

# MAPI type (4 hex digits) to TDvEWSPropType for tagged properties; types that EWS cannot express
# are absent and their tags are left out.
TAG_TYPES = {
    '0001': 'ptNull', '0002': 'ptShort', '0003': 'ptInteger', '0004': 'ptFloat',
    '0005': 'ptDouble', '0006': 'ptCurrency', '0007': 'ptApplicationTime', '000A': 'ptError',
    '000B': 'ptBoolean', '000D': 'ptObject', '0014': 'ptLong', '001E': 'ptString',
    '001F': 'ptString', '0040': 'ptSystemTime', '0048': 'ptCLSID', '0102': 'ptBinary',
    '1002': 'ptShortArray', '1003': 'ptIntegerArray', '1004': 'ptFloatArray',
    '1005': 'ptDoubleArray', '1006': 'ptCurrencyArray', '1007': 'ptApplicationTimeArray',
    '100D': 'ptObjectArray', '1014': 'ptLongArray', '101E': 'ptStringArray',
    '101F': 'ptStringArray', '1040': 'ptSystemTimeArray', '1048': 'ptCLSIDArray',
    '1102': 'ptBinaryArray',
}

# MAPI names renamed in the catalogue: the binary form of the HTML body carries the name of its
# string twin with "_B".
MPR_RENAMES = {'PR_HTML': 'MPR_BODY_HTML_B'}

# Types for which no extended field (MFLD_) is generated: a request cannot fetch them.
NO_FIELD_TYPES = ('ptObject', 'ptObjectArray', 'ptNull')

# The field registered a second time at the end of the MFLD_ family (the second registration is
# ignored by the registry).
MFLD_REPEATED = 'MFLD_INST_ID'

# ---------------------------------------------------------------------------------------------
# Named properties (EPR_, EFLD_)

# The property sets catalogued, with the word that follows "EPR_" in the names of their
# properties identified by id.
NAMED_SETS = collections.OrderedDict([
    ('PSETID_Address', 'ADDRESS'),
    ('PSETID_Common', 'COMMON'),
    ('PSETID_Appointment', 'APPOINTMENT'),
    ('PSETID_Sharing', 'SHARING'),
    ('PSETID_Task', 'TASK'),
    ('PSETID_Meeting', 'MEETING'),
    ('PSETID_Log', 'LOG'),
    ('PSETID_Note', 'NOTE'),
    ('PSETID_Attachment', 'ATTACHMENT'),
    ('PSETID_Messaging', 'MESSAGING'),
    ('PSETID_CalendarAssistant', 'CALENDARASSISTANT'),
])

# Named properties whose catalogue name is not the derived one: (set, id) -> name.
EPR_NAME_EXCEPTIONS = {
    ('PSETID_Common', 0x8501): 'EPR_COMMON_REMINDER_MINUTES_BEFORE',
    ('PSETID_Meeting', 0x0003): 'EPR_GLOBAL_OBJID',
    ('PSETID_Meeting', 0x0023): 'EPR_CLEANGLOBAL_OBJID',
}

# The library's own named properties (PSETID_Dovrane, by id), registered first.
DOVRANE_PROPS = [
    ('EPR_SEND_INVITATIONS_AND_UPDATES', 1, 'ptBoolean'),
    ('EPR_SENDUSINGACCOUNT', 2, 'ptBoolean'),
    ('EPR_SENDUSINGOUTLOOK', 3, 'ptBoolean'),
    ('EPR_CERTTHUMBPRINT', 4, 'ptString'),
    ('EPR_COMMENT', 5, 'ptString'),
]

# Named properties without an extended field definition.
EPR_WITHOUT_FIELD = ('EPR_COMMENT',)

# MAPI type to TDvEWSPropType for named properties: 32-bit integers are catalogued as ptLong.
NAMED_TYPES = dict(TAG_TYPES)
NAMED_TYPES.update({'0003': 'ptLong', '1003': 'ptLongArray'})

# ---------------------------------------------------------------------------------------------


def fail(message):
    sys.stderr.write('gen_props.py: %s\n' % message)
    sys.exit(1)


def read_tsv(path):
    with open(path, encoding='utf-8', newline='') as f:
        return list(csv.DictReader(f, delimiter='\t'))


def cpp_string(text):
    out = []
    for ch in text:
        if ch in '"\\':
            out.append('\\' + ch)
        elif 32 <= ord(ch) < 127:
            out.append(ch)
        else:
            fail('unexpected character %r in %r' % (ch, text))
    return '"' + ''.join(out) + '"'


class PropDef:
    def __init__(self, name, **kw):
        self.name = name
        self.extended = kw.get('extended', False)
        self.node_name = kw.get('node_name', '')
        self.node_type = kw.get('node_type', 'pdntSimple')
        self.parent = kw.get('parent')
        self.prop_type = kw.get('prop_type', 'ptNull')
        self.set_symbol = kw.get('set_symbol')
        self.tag = kw.get('tag', 0)
        self.kind = kw.get('kind', 'pkId')
        self.prop_name = kw.get('prop_name', '')
        self.prop_id = kw.get('prop_id', 0)


class FieldDef:
    def __init__(self, name, prop, field_type, uri='', index=''):
        self.name = name
        self.prop = prop
        self.field_type = field_type
        self.uri = uri
        self.index = index


def identifier_word(text):
    """Upper-cases a name; characters a C++ identifier cannot hold become "_"."""
    return re.sub('[^A-Z0-9_]', '_', text.upper())


def schema_enum(root, type_name):
    for st in root.iter(XS + 'simpleType'):
        if st.get('name') == type_name:
            return [e.get('value') for e in st.iter(XS + 'enumeration')]
    fail('no simple type %s in the schema' % type_name)


def build_elements(data):
    root = ET.parse(os.path.join(data, 'ews-schema', 'types.xsd')).getroot()
    # Every element name the schema declares, in document order; names that differ only in
    # letter case share one definition (the first spelling).
    names = []
    seen = set()
    for e in root.iter(XS + 'element'):
        n = e.get('name')
        if n and n.upper() not in seen:
            seen.add(n.upper())
            names.append(n)

    props = []
    by_name = {}
    by_upper = {}

    def add(p):
        if p.name in by_name:
            fail('duplicate element definition %s' % p.name)
        props.append(p)
        by_name[p.name] = p
        return p

    arrays = {a[0]: a for a in KEYED_ARRAYS}
    indexed_fields = []
    complete_fields = []
    for n in names:
        pr_name = PR_NAME_EXCEPTIONS.get(n, 'PR_' + identifier_word(n))
        if n == 'CompleteName':
            parent = add(PropDef(pr_name, node_name=n, node_type='pdntComplex'))
            for child, uri in COMPLETE_NAME_CHILDREN:
                c = add(PropDef(pr_name + '_' + child.upper(), node_name=n + '/' + child,
                                parent=parent))
                complete_fields.append(FieldDef('FLD_CONTACTS_COMPLETENAME_' + child.upper(), c,
                                                'fdtField', uri))
        elif n in arrays:
            _, uri, child_prefix, keys = arrays[n]
            if isinstance(keys, str):
                keys = schema_enum(root, keys)
            parent = add(PropDef(pr_name, node_name=n, node_type='pdntArray'))
            uri_word = uri.split(':')[1].upper()
            for key in keys:
                c = add(PropDef(child_prefix + key.upper(),
                                node_name='%s/Entry[@Key="%s"]' % (n, key), parent=parent))
                fld = 'FLD_CONTACTS_' + (key.upper() if child_prefix == 'PR_'
                                         else uri_word + '_' + key.upper())
                indexed_fields.append(FieldDef(fld, c, 'fdtIndexedField', uri, key))
        else:
            add(PropDef(pr_name, node_name=n))
        by_upper[n.upper()] = by_name[pr_name]

    # Field URIs, in the schema's order.
    fields = []
    for uri in schema_enum(root, 'UnindexedFieldURIType'):
        prefix, word = uri.split(':', 1)
        if prefix in SKIPPED_URI_PREFIXES:
            continue
        target = by_upper.get(word.upper())
        if target is None:
            # A field URI without an element of that name: the value is still addressed by an
            # element definition of the URI's name.
            target = add(PropDef('PR_' + identifier_word(word), node_name=word))
            by_upper[word.upper()] = target
        fields.append(FieldDef('FLD_' + uri.replace(':', '_').upper(), target, 'fdtField', uri))
    fields += complete_fields + indexed_fields
    return props, fields


def build_tagged(data):
    mapi = os.path.join(data, 'mapi')
    rows = [r for r in read_tsv(os.path.join(mapi, 'property-tags.tsv'))
            if r['name'].startswith('PR_')]
    known = {r['name'] for r in rows}
    for r in read_tsv(os.path.join(mapi, 'property-tags-openchange-extra.tsv')):
        if r['name'].startswith('PR_') and r['name'] not in known and \
                not r['why_listed'].startswith('name known'):
            rows.append(r)
            known.add(r['name'])

    # "_A" (8-bit) and "_W" (Unicode) variants collapse into the base name: dropped when the base
    # name exists, else the base name is taken from the Unicode variant (or the 8-bit one).
    chosen = {}
    for r in rows:
        name = r['name']
        if name.endswith(('_A', '_W')):
            base = name[:-2]
            if base in known:
                continue
            if base in chosen and chosen[base]['name'].endswith('_W'):
                continue
            chosen[base] = r
        else:
            chosen[name] = r

    props = []
    for base, r in chosen.items():
        ptype = TAG_TYPES.get(r['prop_type_hex'].upper())
        if ptype is None:
            continue
        name = MPR_RENAMES.get(base, 'M' + base)
        props.append(PropDef(name, extended=True, prop_type=ptype, tag=int(r['tag_hex'], 16)))
    props.sort(key=lambda p: (p.tag, p.name))
    names = [p.name for p in props]
    if len(set(names)) != len(names):
        fail('duplicate MPR_ names')

    fields = [FieldDef('MFLD_' + p.name[4:], p, 'fdtExtendedField') for p in props
              if p.prop_type not in NO_FIELD_TYPES]
    return props, fields


def canonical_name(row):
    names = [n for n in row['names'].split(',') if n]
    for n in names:
        for prefix in ('PidLid', 'PidName'):
            if n.startswith(prefix):
                return n[len(prefix):]
    for n in names:
        if n.startswith('dispid'):
            return n[len('dispid'):]
    return names[0] if names else row['id_or_name']


def build_named(data):
    rows = read_tsv(os.path.join(data, 'mapi', 'named-properties.tsv'))
    props = [PropDef(name, extended=True, prop_type=t, set_symbol='PSETID_Dovrane', prop_id=i)
             for name, i, t in DOVRANE_PROPS]
    taken = {p.name for p in props}
    dropped = collections.Counter()
    for r in rows:
        if r['property_set'] not in NAMED_SETS:
            dropped['set not carried'] += 1
            continue
        # Every row of a carried set is kept when its type is known and EWS can express it, ids
        # OpenChange only observed on servers included. PT_NULL marks a type no source knew: such
        # a property cannot be named in a request (EWS has no "Null" property type).
        if r['mapi_type_name'] == 'PT_NULL':
            dropped['type unknown'] += 1
            continue
        ptype = NAMED_TYPES.get(r['prop_type_hex'].upper())
        if ptype is None:
            dropped['type EWS cannot express'] += 1
            continue
        word = canonical_name(r).upper()
        if r['kind'] == 'id':
            pid = int(r['id_or_name'], 16)
            name = EPR_NAME_EXCEPTIONS.get((r['property_set'], pid),
                                           'EPR_%s_%s' % (NAMED_SETS[r['property_set']], word))
            if name in taken:
                # A second id published under the same name: the id tells them apart.
                name += '_%04X' % pid
            props.append(PropDef(name, extended=True, prop_type=ptype,
                                 set_symbol=r['property_set'], prop_id=pid))
            taken.add(name)
        else:
            name = 'EPR_NAME' + word
            props.append(PropDef(name, extended=True, prop_type=ptype,
                                 set_symbol=r['property_set'], kind='pkName',
                                 prop_name=r['id_or_name']))
            taken.add(name)
    names = [p.name for p in props]
    dups = [n for n, c in collections.Counter(names).items() if c > 1]
    if dups:
        fail('duplicate EPR_ names: %s' % ', '.join(dups))
    fields = [FieldDef('EFLD_' + p.name[4:], p, 'fdtExtendedField') for p in props
              if p.name not in EPR_WITHOUT_FIELD]
    return props, fields, dropped


# ---------------------------------------------------------------------------------------------
# Output

HEADER_NOTE = ('// Generated by scripts/gen_props.py from the EWS schema and the MAPI tables; do not edit.\n'
               '// clang-format off\n')


def prop_initializer(p):
    if not p.extended:
        parent = '&' + p.parent.name if p.parent else 'nullptr'
        if p.node_type == 'pdntSimple' and not p.parent:
            return 'DvElementPropDef(%s, %s)' % (cpp_string(p.name), cpp_string(p.node_name))
        return 'DvElementPropDef(%s, %s, %s, %s)' % (cpp_string(p.name), cpp_string(p.node_name),
                                                     p.node_type, parent)
    if p.tag:
        return 'DvTaggedPropDef(%s, %s, 0x%04X)' % (cpp_string(p.name), p.prop_type, p.tag)
    if p.kind == 'pkId':
        return 'DvNamedIdPropDef(%s, %s, &%s, %d)' % (cpp_string(p.name), p.prop_type,
                                                      p.set_symbol, p.prop_id)
    return 'DvNamedStringPropDef(%s, %s, &%s, %s)' % (cpp_string(p.name), p.prop_type,
                                                      p.set_symbol, cpp_string(p.prop_name))


def field_initializer(f):
    if f.field_type == 'fdtField':
        return 'DvFieldDef(%s, &%s, %s)' % (cpp_string(f.name), f.prop.name, cpp_string(f.uri))
    if f.field_type == 'fdtIndexedField':
        return 'DvIndexedFieldDef(%s, &%s, %s, %s)' % (cpp_string(f.name), f.prop.name,
                                                       cpp_string(f.uri), cpp_string(f.index))
    return 'DvExtendedFieldDef(%s, &%s)' % (cpp_string(f.name), f.prop.name)


def write_if_changed(path, text):
    data = text.encode('utf-8')
    try:
        with open(path, 'rb') as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path, 'wb') as f:
        f.write(data)


def emit_unit(out_dir, suffix, title, families):
    """families: list of (list variable name, kind 'prop'/'field', records, registration list)."""
    lines = [HEADER_NOTE, '// %s\n' % title, '\n', '#include "uDvEWSPropsCatalog.h"\n', '\n',
             'namespace dv {\n', '\n', 'using enum TDvEWSPropType;\n',
             'using enum TDvEWSPropDefNodeType;\n', '\n']
    for var, kind, records, registration in families:
        ctype = 'TDvEWSPropDef' if kind == 'prop' else 'TDvEWSFieldDef'
        init = prop_initializer if kind == 'prop' else field_initializer
        for r in records:
            lines.append('constinit const %s %s = %s;\n' % (ctype, r.name, init(r)))
        lines.append('\n')
        ptype = 'PDvEWSPropDef' if kind == 'prop' else 'PDvEWSFieldDef'
        lines.append('namespace {\n')
        lines.append('constinit const %s k%s[] = {\n' % (ptype, var))
        for r in registration:
            lines.append('    &%s,\n' % r.name)
        lines.append('};\n')
        lines.append('}  // namespace\n')
        lines.append('constinit const std::span<const %s> %s{k%s};\n' % (ptype, var, var))
        lines.append('\n')
    lines.append('}  // namespace dv\n')
    write_if_changed(os.path.join(out_dir, 'uDvEWSPropsCatalog%s.cpp' % suffix), ''.join(lines))


def emit_header(out_dir, families):
    lines = [HEADER_NOTE,
             '//\n',
             '// The predefined property and field definitions, each a constant record named after\n',
             '// itself, and the registration lists that fill the registry at start-up.\n',
             '#pragma once\n', '\n', '#include <span>\n', '\n', '#include "uDvEWSProps.h"\n', '\n',
             'namespace dv {\n', '\n']
    for var, kind, records, registration, comment in families:
        ctype = 'TDvEWSPropDef' if kind == 'prop' else 'TDvEWSFieldDef'
        ptype = 'PDvEWSPropDef' if kind == 'prop' else 'PDvEWSFieldDef'
        lines.append('// %s (%d records, %d registrations)\n' % (comment, len(records),
                                                                len(registration)))
        lines.append('extern const std::span<const %s> %s;\n' % (ptype, var))
        for r in records:
            lines.append('extern const %s %s;\n' % (ctype, r.name))
        lines.append('\n')
    lines.append('}  // namespace dv\n')
    write_if_changed(os.path.join(out_dir, 'uDvEWSPropsCatalog.h'), ''.join(lines))


def stats(pr, fld, mpr, mfld, epr, efld, mfld_reg, epr_dropped):
    out = []
    out.append('PR_ %d (simple top-level %d, complex %d, arrays %d, children %d)' % (
        len(pr), sum(1 for p in pr if p.node_type == 'pdntSimple' and not p.parent),
        sum(1 for p in pr if p.node_type == 'pdntComplex'),
        sum(1 for p in pr if p.node_type == 'pdntArray'), sum(1 for p in pr if p.parent)))
    ft = collections.Counter(f.field_type for f in fld)
    out.append('FLD_ %d %s' % (len(fld), dict(ft)))
    words = collections.Counter(f.name.split('_')[1] for f in fld)
    out.append('FLD_ words %s' % ', '.join('%s %d' % kv for kv in words.most_common()))
    used = collections.Counter(f.prop.name for f in fld)
    out.append('PR_ shared by several FLD_ %d; PR_ without FLD_ %d' % (
        sum(1 for c in used.values() if c > 1), sum(1 for p in pr if p.name not in used)))
    out.append('MPR_ %d; types %s' % (len(mpr), ', '.join(
        '%s %d' % kv for kv in collections.Counter(p.prop_type for p in mpr).most_common())))
    tags = collections.Counter(p.tag for p in mpr)
    out.append('MPR_ distinct tags %d; shared tags %d by %d definitions' % (
        len(tags), sum(1 for c in tags.values() if c > 1),
        sum(c for c in tags.values() if c > 1)))
    out.append('MFLD_ %d (%d registrations)' % (len(mfld), len(mfld_reg)))
    out.append('EPR_ %d; sets %s' % (len(epr), ', '.join(
        '%s %d' % kv for kv in collections.Counter(p.set_symbol for p in epr).most_common())))
    out.append('EPR_ types %s; by name %d' % (', '.join(
        '%s %d' % kv for kv in collections.Counter(p.prop_type for p in epr).most_common()),
        sum(1 for p in epr if p.kind == 'pkName')))
    out.append('named-property rows left out: %s' % ', '.join(
        '%s %d' % kv for kv in sorted(epr_dropped.items())))
    out.append('EFLD_ %d' % len(efld))
    out.append('properties %d, fields %d' % (len(pr) + len(mpr) + len(epr),
                                             len(fld) + len(mfld) + len(efld)))
    return '\n'.join(out) + '\n'


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--data', default=os.path.join(here, '..', 'data'))
    ap.add_argument('--out', default=os.path.join(here, '..', 'ews', 'generated'))
    ap.add_argument('--stats', action='store_true', help='print the counts per family')
    args = ap.parse_args()

    pr, fld = build_elements(args.data)
    mpr, mfld = build_tagged(args.data)
    epr, efld, epr_dropped = build_named(args.data)
    mfld_reg = list(mfld)
    repeated = [f for f in mfld if f.name == MFLD_REPEATED]
    if not repeated:
        fail('%s is not in the catalogue' % MFLD_REPEATED)
    mfld_reg.append(repeated[0])

    all_names = [r.name for r in pr + fld + mpr + mfld + epr + efld]
    dups = [n for n, c in collections.Counter(all_names).items() if c > 1]
    if dups:
        fail('duplicate names: %s' % ', '.join(sorted(dups)))
    for n in all_names:
        if not re.fullmatch('[A-Z][A-Z0-9_]*', n):
            fail('name is not an identifier: %s' % n)
        if len(n.encode('utf-8')) > 255:
            fail('name longer than 255 bytes: %s' % n)

    os.makedirs(args.out, exist_ok=True)
    emit_header(args.out, [
        ('DvCatalogPR', 'prop', pr, pr, 'Element definitions'),
        ('DvCatalogFLD', 'field', fld, fld, 'Field URIs of element definitions'),
        ('DvCatalogMPR', 'prop', mpr, mpr, 'MAPI properties by tag'),
        ('DvCatalogMFLD', 'field', mfld, mfld_reg, 'Extended fields of MAPI properties by tag'),
        ('DvCatalogEPR', 'prop', epr, epr, 'Named properties'),
        ('DvCatalogEFLD', 'field', efld, efld, 'Extended fields of named properties'),
    ])
    emit_unit(args.out, 'Elements', 'Element definitions and their field URIs.', [
        ('DvCatalogPR', 'prop', pr, pr), ('DvCatalogFLD', 'field', fld, fld)])
    emit_unit(args.out, 'Tagged', 'MAPI properties by tag and their extended fields.', [
        ('DvCatalogMPR', 'prop', mpr, mpr), ('DvCatalogMFLD', 'field', mfld, mfld_reg)])
    emit_unit(args.out, 'Named', 'Named properties and their extended fields.', [
        ('DvCatalogEPR', 'prop', epr, epr), ('DvCatalogEFLD', 'field', efld, efld)])
    if args.stats:
        sys.stdout.write(stats(pr, fld, mpr, mfld, epr, efld, mfld_reg, epr_dropped))


if __name__ == '__main__':
    main()
