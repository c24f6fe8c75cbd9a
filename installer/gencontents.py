#!/usr/bin/env python3
"""Makes the packages' lists from installer/contents.txt, the one description of what
velvox installs and registers.

  gencontents.py nsh CONTENTS OUT.nsh               macros that velvox.nsi inserts
  gencontents.py header CONTENTS OUT.h              the settings table of vxdatadir.exe
  gencontents.py msi CONTENTS --src REPO --bin BINDIR --version X.Y.Z.W
                 --template velvox.wxs.in --sql velvox-msi.sql.in --out OUT.msi
                 [--wixl wixl] [--msibuild msibuild] [--keep-wxs OUT.wxs]

wixl 0.101 writes neither component conditions nor custom actions that run a program
by its folder, nor the registry's delete-key rows; velvox-msi.sql.in adds those to the
database that wixl made (msibuild -q). It also loses every text that is not ASCII, so
those go in afterwards the same way, in the database's code page 932.
"""
import argparse
import hashlib
import os
import re
import shlex
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import escape as xml_escape, unescape as xml_unescape_base


def xml_unescape(text):
    return xml_unescape_base(text, {'&quot;': '"', '&apos;': "'"})


class Contents:
    def __init__(self):
        self.files = []      # (folder, name, target); folder "" or "PlugIns"
        self.helpers = []    # (name, target)
        self.runs = {}       # id -> command line with placeholders
        self.settings = []   # (file, section, key, value)
        self.groups = []     # dicts: name, mark, keys [(root, path, tree, [(name, type, data)])]
        self.shortcuts = []  # (file, target, arguments, description, icon)


def split(line):
    lex = shlex.shlex(line, posix=True)
    lex.whitespace_split = True
    lex.escape = ''
    lex.commenters = ''
    return list(lex)


def parse(path):
    c = Contents()
    group = None
    with open(path, encoding='utf-8') as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith('#'):
                continue
            fields = split(line)
            what, args = fields[0], fields[1:]

            def need(n):
                if len(args) != n:
                    sys.exit(f'{path}:{number}: {what} takes {n} fields, not {len(args)}')

            if what == 'file':
                need(2)
                folder, _, name = args[0].rpartition('\\')
                c.files.append((folder, name, args[1]))
            elif what == 'helper':
                need(2)
                c.helpers.append((args[0], args[1]))
            elif what == 'run':
                need(2)
                c.runs[args[0]] = args[1]
            elif what == 'setting':
                need(4)
                c.settings.append(tuple(args))
            elif what == 'group':
                options = dict(a.split('=', 1) for a in args[1:])
                group = {'name': args[0], 'mark': options.get('mark'), 'keys': []}
                c.groups.append(group)
            elif what == 'key':
                m = re.fullmatch(r'tree|own=([1-9])', args[2]) if len(args) == 3 else None
                if group is None or len(args) not in (2, 3) or (len(args) == 3 and not m):
                    sys.exit(f'{path}:{number}: key ROOT PATH [tree|own=N], inside a group')
                tree = len(args) == 3 and args[2] == 'tree'
                own = int(m.group(1)) if m and m.group(1) else 0
                group['keys'].append((args[0], args[1], tree, [], own))
            elif what == 'value':
                need(3)
                if not group or not group['keys'] or args[1] not in ('sz', 'dword'):
                    sys.exit(f'{path}:{number}: value NAME sz|dword DATA, below a key')
                group['keys'][-1][3].append(tuple(args))
            elif what == 'shortcut':
                if len(args) not in (4, 5):
                    sys.exit(f'{path}:{number}: shortcut FILE TARGET ARGUMENTS DESCRIPTION [ICON]')
                c.shortcuts.append(tuple(args) + ('',) * (5 - len(args)))
            else:
                sys.exit(f'{path}:{number}: unknown directive {what}')
    return c


def search(path, pattern):
    with open(path, encoding='utf-8') as f:
        m = re.search(pattern, f.read())
    if not m:
        sys.exit(f'{path}: no match for {pattern}')
    return m.group(1)


def fixed(src):
    """Placeholders that are the same in both packages."""
    return {
        'PRODUCT': search(os.path.join(src, 'res/velvox.rc'), r'VALUE "ProductName", "([^"]*)"'),
        'SHX_CLSID': search(os.path.join(src, 'shellext/vxshell.h'),
                            r'#define VXSHELL_CLSID_TEXT "([^"]*)"'),
    }


def fill(text, values):
    def one(m):
        if m.group(1) not in values:
            sys.exit(f'unknown placeholder {m.group(0)} in {text}')
        return values[m.group(1)]
    return re.sub(r'\{([A-Z_]+)\}', one, text)


def top_tree_keys(group):
    """The keys of a group that go whole, without those below another such key."""
    trees = [path for _, path, tree, _, _ in group['keys'] if tree]
    return [p for p in trees
            if not any(p.lower().startswith(o.lower() + '\\') for o in trees if o != p)]


# ---------------------------------------------------------------------------- NSIS

def nsis_string(text, values):
    """An NSIS double-quoted string: `$` and `"` escaped, placeholders filled after."""
    parts = re.split(r'(\{[A-Z_]+\})', text)
    out = []
    for p in parts:
        if re.fullmatch(r'\{[A-Z_]+\}', p):
            out.append(fill(p, values))
        else:
            out.append(p.replace('$', '$$').replace('"', '$\\"'))
    return '"' + ''.join(out) + '"'


def write_nsh(c, src, out):
    values = dict(fixed(src))
    values.update({'INSTALLDIR': '$INSTDIR', 'DATA': '${DATA}', 'COMMONAPPDATA': '$APPDATA',
                   'SYSDIR': '$SYSDIR', 'UNINSTALL': '$INSTDIR\\uninstall.exe',
                   'UNINSTALL_ARGS': ''})
    s = lambda t: nsis_string(t, values)
    lines = ['; Made by installer/gencontents.py from installer/contents.txt: edit that list.', '']
    lines.append('!macro VX_FILES DO')
    for folder, name, _ in c.files:
        sub = '\\' + folder if folder else ''
        lines.append(f'  !insertmacro ${{DO}} "{sub}" "{name}"')
    lines.append('!macroend')
    lines.append('!macro VX_FOLDERS DO')
    for folder in sorted({f for f, _, _ in c.files if f}):
        lines.append(f'  !insertmacro ${{DO}} "\\{folder}"')
    lines.append('!macroend')
    for name, _ in c.helpers:
        lines.append(f'!define VX_HELPER_{os.path.splitext(name)[0].upper()} "{name}"')
    for rid, command in c.runs.items():
        lines.append(f'!define VX_RUN_{rid} {s(command)}')
    for g in c.groups:
        lines.append(f'!macro VX_REG_{g["name"]}')
        for root, path, _, vals, _ in g['keys']:
            for name, kind, data in vals:
                if kind == 'sz':
                    lines.append(f'  WriteRegStr {root} {s(path)} {s(name)} {s(data)}')
                else:
                    lines.append(f'  WriteRegDWORD {root} {s(path)} {s(name)} {int(data, 0):#010x}')
        if g['mark']:
            lines.append(f'  WriteRegDWORD HKLM "${{VX_MARKS_KEY}}" "{g["mark"]}" 1')
        lines.append('!macroend')
        lines.append(f'!macro VX_UNREG_{g["name"]}')
        tops = top_tree_keys(g)
        for root, path, tree, vals, own in g['keys']:
            if path in tops:
                lines.append(f'  DeleteRegKey {root} {s(path)}')
            elif not tree:
                for name, _, _ in vals:
                    lines.append(f'  DeleteRegValue {root} {s(path)} {s(name)}')
                parts = path.split('\\')
                for n in range(len(parts), len(parts) - own, -1):
                    lines.append(f'  DeleteRegKey /ifempty {root} {s(chr(92).join(parts[:n]))}')
        lines.append('!macroend')
        if g['mark']:
            lines.append(f'!define VX_MARK_{g["name"]} "{g["mark"]}"')
    lines.append('!macro VX_SHORTCUTS')
    for lnk, target, arguments, description, icon in c.shortcuts:
        lines.append(f'  CreateShortcut "${{MENU}}\\{lnk}" {s(target)} {s(arguments)} {s(icon)} 0 '
                     f'SW_SHOWNORMAL "" {s(description)}')
    lines.append('!macroend')
    lines.append('!macro VX_UNSHORTCUTS')
    for lnk, *_ in c.shortcuts:
        lines.append(f'  Delete "${{MENU}}\\{lnk}"')
    lines.append('!macroend')
    write(out, '\n'.join(lines) + '\n', 'utf-8')


# ---------------------------------------------------------------------------- header

def write_header(c, out):
    media = [g for g in c.groups if g['name'] == 'media']
    if len(media) != 1 or len(media[0]['keys']) != 1 or len(media[0]['keys'][0][3]) != 1:
        sys.exit('contents: group media must be one key with one value')
    _, media_key, _, [(media_value, _, media_data)], _ = media[0]['keys'][0]
    media_file = media_data.rpartition('\\')[2]
    w = lambda t: 'L"' + t.replace('\\', '\\\\').replace('"', '\\"') + '"'
    lines = ['// Made by installer/gencontents.py from installer/contents.txt: edit that list.',
             '#pragma once', '', 'namespace vxsetup {', '',
             'struct SettingDefault {', '  const wchar_t* file;  // in the data folder',
             '  const wchar_t* section;', '  const wchar_t* key;', '  const wchar_t* value;', '};',
             '', 'inline constexpr SettingDefault kSettingDefaults[] = {']
    for f, sec, key, val in c.settings:
        lines.append(f'    {{{w(f)}, {w(sec)}, {w(key)}, {w(val)}}},')
    lines += ['};', '',
              '// The media filter\'s settings file is written only where HKLM\\<key> <value>',
              '// names ours.',
              f'inline constexpr wchar_t kMediaFilterKey[] = {w(media_key)};',
              f'inline constexpr wchar_t kMediaFilterValue[] = {w(media_value)};',
              f'inline constexpr wchar_t kMediaSettingsFile[] = {w(media_file)};',
              '', '}  // namespace vxsetup']
    write(out, '\n'.join(lines) + '\n', 'utf-8')


# ---------------------------------------------------------------------------- MSI

def guid(name):
    return '{' + str(uuid.uuid5(uuid.NAMESPACE_URL, 'velvox-msi:' + name)).upper() + '}'


def ident(prefix, text):
    return prefix + hashlib.sha1(text.lower().encode('utf-8')).hexdigest()[:24].upper()


def msi_values(src):
    values = dict(fixed(src))
    values.update({'INSTALLDIR': '[INSTALLDIR]', 'DATA': '[CommonAppDataFolder]Norvane\\TARVO-Pro',
                   'COMMONAPPDATA': '[CommonAppDataFolder]', 'SYSDIR': '[System64Folder]',
                   'UNINSTALL': '[System64Folder]msiexec.exe',
                   'UNINSTALL_ARGS': '/x [ProductCode]'})
    return values


def msi_text(text, values):
    # The folder properties end in a backslash already. Before a closing quote that
    # backslash would escape the quote in a command line, so it is doubled there.
    for folder in ('INSTALLDIR', 'SYSDIR', 'COMMONAPPDATA'):
        text = text.replace('{%s}\\' % folder, '{%s}' % folder)
        text = text.replace('{%s}"' % folder, '{%s}\\"' % folder)
    return fill(text, values)


def split_command(command):
    """'"{INSTALLDIR}\\x.exe" args' -> ('x.exe', 'args')."""
    m = re.fullmatch(r'"\{INSTALLDIR\}\\([^"\\]+)"\s*(.*)', command)
    if not m:
        sys.exit(f'contents: a run must start with a program of the program folder: {command}')
    return m.group(1), m.group(2)


def wxs_lists(c, src):
    values = msi_values(src)
    a = lambda t: xml_escape(msi_text(t, values), {'"': '&quot;'})
    comps, refs, subdirs = [], [], {}
    # A helper is deleted once it ran: it goes with the first program file, whose
    # presence says that the component is installed, rather than being a component's
    # key file that Windows Installer would then count as missing.
    helpers = ''.join(f'<File Id="{name}" Name="{name}" Source="{xml_escape(name)}"/>'
                      for name, _ in c.helpers)
    for folder, name, _ in c.files:
        cid = ident('File', folder + '\\' + name)
        xml = (f'<Component Id="{cid}" Guid="{guid("file:" + folder + chr(92) + name)}" Win64="yes">'
               f'<File Id="{name}" Name="{name}" Source="{xml_escape(name)}" '
               f'KeyPath="yes"/>{helpers}</Component>')
        helpers = ''
        subdirs.setdefault(folder, []).append(xml)
        refs.append(cid)
    for folder, items in subdirs.items():
        if folder:
            comps.append(f'<Directory Id="{ident("Dir", folder)}" Name="{folder}">' + ''.join(items) +
                         '</Directory>')
        else:
            comps.extend(items)
    for g in c.groups:
        cid = 'Reg_' + g['name']
        body = []
        first = True
        for root, path, _, vals, _ in g['keys']:
            for name, kind, data in vals:
                kp = ' KeyPath="yes"' if first else ''
                first = False
                name_attr = f' Name="{a(name)}"' if name else ''
                if kind == 'sz':
                    body.append(f'<RegistryValue Root="{root}" Key="{a(path)}"{name_attr} '
                                f'Type="string" Value="{a(data)}"{kp}/>')
                else:
                    body.append(f'<RegistryValue Root="{root}" Key="{a(path)}"{name_attr} '
                                f'Type="integer" Value="{int(data, 0)}"{kp}/>')
        if g['mark']:
            body.append(f'<RegistryValue Root="HKLM" Key="$(var.MarksKey)" Name="{g["mark"]}" '
                        'Type="integer" Value="1"/>')
        comps.append(f'<Component Id="{cid}" Guid="{guid("reg:" + g["name"])}" Win64="yes">' +
                     ''.join(body) + '</Component>')
        refs.append(cid)
    shortcuts = []
    # The Shortcut table names an icon only from the Icon table: the target's own.
    for lnk, target, arguments, description, _ in c.shortcuts:
        sid = ident('Lnk', lnk)
        desc = f' Description="{a(description)}"' if description else ''
        args = f' Arguments="{a(arguments)}"' if arguments else ''
        shortcuts.append(f'<Shortcut Id="{sid}" Name="{xml_escape(lnk)}" Target="{a(target)}"{args}'
                         f'{desc} WorkingDirectory="INSTALLDIR"/>')
    return comps, refs, shortcuts


def sql_lists(c, src):
    """Rows that wixl cannot write: the registry trees that go with the uninstall."""
    rows = []
    for g in c.groups:
        for path in top_tree_keys(g):
            root = [k[0] for k in g['keys'] if k[1] == path][0]
            rid = ident('RegTree', path)
            rows.append("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) "
                        f"VALUES ('{rid}', {dict(HKLM=2, HKCU=1)[root]}, "
                        f"'{fill(path, fixed(src))}', '-', 'Reg_{g['name']}')")
    return rows


def build_msi(c, args):
    values = msi_values(args.src)
    runs = {}
    for rid, command in c.runs.items():
        exe, rest = split_command(command)
        runs[rid] = (exe, msi_text(rest, values))
    comps, refs, shortcuts = wxs_lists(c, args.src)
    with open(args.template, encoding='utf-8') as f:
        wxs = f.read()
    subst = {
        '<!--@COMPONENTS@-->': '\n'.join(comps),
        '<!--@COMPONENTREFS@-->': '\n'.join(f'<ComponentRef Id="{r}"/>' for r in refs),
        '<!--@SHORTCUTS@-->': '\n'.join(shortcuts),
    }
    for rid, (exe, rest) in runs.items():
        subst[f'@RUN_{rid}_FILE@'] = exe
        subst[f'@RUN_{rid}_ARGS@'] = xml_escape(rest, {'"': '&quot;'})
    for k, v in subst.items():
        if k.startswith('<!--') and k not in wxs:
            sys.exit(f'{args.template}: no {k}')
        wxs = wxs.replace(k, v)
    with open(args.sql, encoding='utf-8') as f:
        sql_template = f.read()
    sql_subst = {}
    for rid, (exe, rest) in runs.items():
        sql_subst[f'@RUN_{rid}_FILE@'] = exe
        sql_subst[f'@RUN_{rid}_ARGS@'] = rest
    queries = []
    for statement in re.split(r';\s*\n', re.sub(r'(?m)^--.*\n', '', sql_template)):
        statement = ' '.join(statement.split())
        for k, v in sql_subst.items():
            statement = statement.replace(k, v)
        if statement:
            queries.append(statement)
    queries += sql_lists(c, args.src)
    for text in [wxs] + queries:
        if re.search(r'@[A-Za-z_]+@', text):
            sys.exit('a mark names no run: ' + re.search(r'@[A-Za-z_]+@', text).group(0))
    # wixl 0.101 loses every text that is not ASCII (its database has no code page) and
    # crashes on one that starts with ASCII: such texts go in as ASCII stand-ins, and
    # after the database is given code page 932 they are put in by SQL.
    texts = {}

    def stand_in(m):
        attr, value = m.group(1), m.group(2)
        if all(ord(ch) < 128 for ch in value):
            return m.group(0)
        token = f'VXTEXT{len(texts) + 1}'
        if attr == 'Name':
            token += '.LNK'
        texts[token] = xml_unescape(value)
        return f'{attr}="{token}"'
    wxs = re.sub(r'(\w+)="([^"]*)"', stand_in, wxs)
    for token, text in texts.items():
        text = text.replace("'", "''")
        if token.endswith('.LNK'):
            # A long file name goes with a short one (short|long).
            queries.append(f"UPDATE `Shortcut` SET `Name` = '{token}|{text}' WHERE `Name` = '{token}'")
            continue
        for table, column in (('Registry', 'Value'), ('Shortcut', 'Description'),
                              ('LaunchCondition', 'Description'), ('Property', 'Value')):
            queries.append(f"UPDATE `{table}` SET `{column}` = '{text}' WHERE `{column}` = '{token}'")
    with tempfile.TemporaryDirectory() as tmp:
        codepage = os.path.join(tmp, '_ForceCodepage.idt')
        write(codepage, '\r\n\r\n932\t_ForceCodepage\r\n', 'ascii')
        wxs_path = args.keep_wxs or os.path.join(tmp, 'velvox.wxs')
        write(wxs_path, wxs, 'utf-8')
        out_tmp = args.out + '.tmp'
        if os.path.exists(out_tmp):
            os.remove(out_tmp)
        publisher = search(os.path.join(args.src, 'res/velvox.rc'), r'VALUE "CompanyName", "([^"]*)"')
        # wixl takes a file's Source relative to the folder it runs in.
        run([args.wixl, '-a', 'x64', '-D', f'VxVersion={args.version}',
             '-D', f'VxProductCode={guid("product:" + args.version)}',
             '-D', f'VxPublisher={publisher}', '-o', os.path.abspath(out_tmp),
             os.path.abspath(wxs_path)], cwd=args.bin)
        command = [args.msibuild, out_tmp, '-i', codepage]
        for q in queries:
            command += ['-q', q]
        run(command)
        os.replace(out_tmp, args.out)


def run(command, cwd=None):
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       cwd=cwd)
    # wixl reports some faults as GLib warnings and exits 0: a warning is a failure here.
    if r.returncode != 0 or 'WARNING' in r.stdout or 'CRITICAL' in r.stdout:
        sys.exit(f'{command[0]} failed ({r.returncode}):\n{r.stdout}\n{" ".join(command)}')


def write(path, text, encoding):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = path + '.tmp'
    with open(tmp, 'w', encoding=encoding, newline='\n') as f:
        f.write(text)
    os.replace(tmp, path)


def main():
    p = argparse.ArgumentParser()
    p.add_argument('what', choices=['nsh', 'header', 'msi'])
    p.add_argument('contents')
    p.add_argument('out', nargs='?')
    p.add_argument('--src')
    p.add_argument('--bin')
    p.add_argument('--version')
    p.add_argument('--template')
    p.add_argument('--sql')
    p.add_argument('--out', dest='out_msi')
    p.add_argument('--wixl', default='wixl')
    p.add_argument('--msibuild', default='msibuild')
    p.add_argument('--keep-wxs')
    args = p.parse_args()
    c = parse(args.contents)
    if args.what == 'nsh':
        write_nsh(c, args.src, args.out)
    elif args.what == 'header':
        write_header(c, args.out)
    else:
        args.out = args.out_msi
        build_msi(c, args)


if __name__ == '__main__':
    main()
