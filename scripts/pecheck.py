#!/usr/bin/env python3
"""Checks a built Windows binary's PE headers against what the deliverable must be.

pecheck.py FILE [--machine i386|amd64] [--subsystem gui|console|native] [--dll]
                [--manifest LEVEL] [--ui-access true|false] [--export NAME@ORDINAL ...]
                [--only-exports] [--imports-from DLL ...] [--entry-symbol NAME] [--min-os MAJOR.MINOR]
                [--version A.B.C.D] [--runs-elevated]
pecheck.py FOLDER --version A.B.C.D [--debug-dir DIR] [--cert CERT]
                every .exe, .dll and .sys in FOLDER carries a version resource of that version, with
                company, product, description and file and product version texts; with --debug-dir, no
                debug sections, and a .gnu_debuglink naming DIR/<name>.debug, which exists; with --cert,
                a signature that verifies against CERT, an end-entity (CA:FALSE) certificate
Imports are always limited to Windows system DLLs; --imports-from narrows that further. A program
that runs elevated (its manifest asks for requireAdministrator or highestAvailable) may import only
Windows 10's known DLLs, which the loader takes from the system folder whatever folder the program
lies in; any other DLL could be planted beside it (a downloads folder). --runs-elevated applies
that rule to a program whose manifest runs it as invoker but that is run elevated anyway. Every binary
is also checked for imports newer than the oldest Windows its header declares (the lower of its
OS and subsystem versions), from a list of functions the MinGW runtimes are known to pull in.
"""
import argparse, os, re, struct, subprocess, sys

SYSTEM_DLLS = {
    'kernel32.dll', 'user32.dll', 'advapi32.dll', 'ole32.dll', 'oleaut32.dll', 'shell32.dll',
    'shlwapi.dll', 'msvcrt.dll', 'ntdll.dll', 'ws2_32.dll', 'setupapi.dll', 'newdev.dll',
    'ntoskrnl.exe', 'hal.dll', 'usbd.sys', 'taskschd.dll', 'version.dll', 'cfgmgr32.dll',
}
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs on Windows 10, plus ntdll,
# which is always mapped before anything else.
KNOWN_DLLS = {
    'advapi32.dll', 'clbcatq.dll', 'combase.dll', 'comdlg32.dll', 'coml2.dll', 'difxapi.dll', 'gdi32.dll',
    'gdiplus.dll', 'imagehlp.dll', 'imm32.dll', 'kernel32.dll', 'msctf.dll', 'msvcrt.dll', 'normaliz.dll',
    'nsi.dll', 'ole32.dll', 'oleaut32.dll', 'psapi.dll', 'rpcrt4.dll', 'sechost.dll', 'setupapi.dll',
    'shcore.dll', 'shell32.dll', 'shlwapi.dll', 'user32.dll', 'wldap32.dll', 'ws2_32.dll', 'ntdll.dll',
}
ELEVATED_LEVELS = ('requireAdministrator', 'highestAvailable')
MACHINES = {'i386': 0x14c, 'amd64': 0x8664}

# Functions newer than Windows XP that the static C/C++ and thread runtimes, or our own code, may
# import, with the Windows version that first has them. Not exhaustive: the ones seen in practice.
VISTA, WIN7, WIN8 = (6, 0), (6, 1), (6, 2)
NEWER_THAN_XP = {
    'kernel32.dll': dict(
        [(n, VISTA) for n in (
            'GetTickCount64', 'InitializeConditionVariable', 'SleepConditionVariableCS',
            'SleepConditionVariableSRW', 'WakeConditionVariable', 'WakeAllConditionVariable',
            'InitializeSRWLock', 'AcquireSRWLockExclusive', 'AcquireSRWLockShared',
            'ReleaseSRWLockExclusive', 'ReleaseSRWLockShared', 'InitOnceExecuteOnce',
            'InitOnceBeginInitialize', 'InitOnceComplete', 'InitializeCriticalSectionEx',
            'CreateEventExA', 'CreateEventExW', 'CreateMutexExA', 'CreateMutexExW', 'CreateSemaphoreExW',
            'FlsAlloc', 'FlsFree', 'FlsGetValue', 'FlsSetValue', 'GetFileInformationByHandleEx',
            'SetFileInformationByHandle', 'GetFinalPathNameByHandleA', 'GetFinalPathNameByHandleW',
            'CreateSymbolicLinkA', 'CreateSymbolicLinkW', 'GetLocaleInfoEx', 'LCMapStringEx',
            'CompareStringEx', 'GetUserDefaultLocaleName', 'QueryFullProcessImageNameA',
            'QueryFullProcessImageNameW', 'CancelIoEx', 'GetQueuedCompletionStatusEx', 'GetThreadId',
            'GetErrorMode')]
        + [(n, WIN7) for n in ('TryAcquireSRWLockExclusive', 'TryAcquireSRWLockShared')]
        + [(n, WIN8) for n in ('GetSystemTimePreciseAsFileTime', 'CreateFile2')]),
    'advapi32.dll': dict(
        [(n, VISTA) for n in (
            'EventRegister', 'EventUnregister', 'EventWrite', 'EventEnabled', 'RegGetValueA',
            'RegGetValueW', 'RegDeleteTreeA', 'RegDeleteTreeW', 'RegSetKeyValueW', 'RegCopyTreeW')]
        + [(n, WIN7) for n in ('EventWriteTransfer', 'EventWriteEx')]
        + [(n, WIN8) for n in ('EventSetInformation',)]),
    'ole32.dll': {'CoGetApartmentType': WIN7},
}
SUBSYSTEMS = {'native': 1, 'gui': 2, 'console': 3}


class Pe:
    def __init__(self, data):
        self.d = data
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        pe = struct.unpack_from('<I', data, 0x3c)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        (self.machine, nsec, _, self.symtab, self.nsyms, optsize, self.chars) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from('<H', data, opt)[0]
        self.pe32plus = magic == 0x20b
        self.entry = struct.unpack_from('<I', data, opt + 16)[0]
        self.image_base = struct.unpack_from('<Q' if self.pe32plus else '<I', data, opt + 24)[0]
        self.os_version = struct.unpack_from('<HH', data, opt + 40)
        self.subsys_version = struct.unpack_from('<HH', data, opt + 48)
        self.subsystem = struct.unpack_from('<H', data, opt + 68)[0]
        ndir_off = opt + (108 if self.pe32plus else 92)
        ndirs = struct.unpack_from('<I', data, ndir_off)[0]
        self.dirs = [struct.unpack_from('<II', data, ndir_off + 4 + 8 * i) for i in range(ndirs)]
        sec = opt + optsize
        self.sections = []
        for i in range(nsec):
            name, vsize, va, rsize, roff = struct.unpack_from('<8sIIII', data, sec + 40 * i)
            name = name.rstrip(b'\0').decode()
            # A long name ("/4") is an offset into the string table after the symbol table.
            if name.startswith('/') and name[1:].isdigit() and self.symtab:
                so = self.symtab + 18 * self.nsyms + int(name[1:])
                name = data[so:data.index(b'\0', so)].decode('latin-1')
            self.sections.append((name, va, max(vsize, rsize), roff, rsize))

    def off(self, rva):
        for _, va, size, roff, rsize in self.sections:
            if va <= rva < va + size:
                return roff + rva - va
        raise ValueError('rva %#x outside every section' % rva)

    def cstr(self, rva):
        o = self.off(rva)
        return self.d[o:self.d.index(b'\0', o)].decode('latin-1')

    def imports(self):
        rva, size = self.dirs[1]
        out = []
        if not rva:
            return out
        o = self.off(rva)
        while True:
            ilt, _, _, name, iat = struct.unpack_from('<IIIII', self.d, o)
            if not name:
                return out
            out.append(self.cstr(name).lower())
            o += 20

    def imported_functions(self):
        """(dll, function) pairs of the imports by name."""
        rva, size = self.dirs[1]
        out = []
        if not rva:
            return out
        o = self.off(rva)
        width, flag = (8, 1 << 63) if self.pe32plus else (4, 1 << 31)
        while True:
            ilt, _, _, name, iat = struct.unpack_from('<IIIII', self.d, o)
            if not name:
                return out
            dll = self.cstr(name).lower()
            t = self.off(ilt or iat)
            while True:
                entry = struct.unpack_from('<Q' if width == 8 else '<I', self.d, t)[0]
                if not entry:
                    break
                if not entry & flag:
                    out.append((dll, self.cstr((entry & 0x7fffffff) + 2)))
                t += width
            o += 20

    def exports(self):
        rva, size = self.dirs[0]
        if not rva:
            return {}
        o = self.off(rva)
        base, nfuncs, nnames, funcs, names, ords = struct.unpack_from('<IIIIII', self.d, o + 16)
        out = {}
        for i in range(nnames):
            name = self.cstr(struct.unpack_from('<I', self.d, self.off(names) + 4 * i)[0])
            ordinal = base + struct.unpack_from('<H', self.d, self.off(ords) + 2 * i)[0]
            out[name] = ordinal
        return out

    def manifests(self):
        return [r.decode('utf-8', 'replace') for r in self.resources(24)]

    def version_info(self):
        """(file version, {string name: value}) of the first RT_VERSION resource, or None."""
        found = self.resources(16)
        if not found:
            return None
        blob = found[0]
        strings = {}
        fixed = [None]

        def node(o):
            length, value_len, kind = struct.unpack_from('<HHH', blob, o)
            end_key = o + 6
            while blob[end_key:end_key + 2] != b'\0\0':
                end_key += 2
            key = blob[o + 6:end_key].decode('utf-16-le')
            v = (end_key + 2 + 3) & ~3
            value_bytes = value_len * 2 if kind == 1 else value_len
            if key == 'VS_VERSION_INFO' and value_len >= 52:
                sig, _, ms, ls = struct.unpack_from('<IIII', blob, v)
                if sig == 0xFEEF04BD:
                    fixed[0] = '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            elif kind == 1 and value_len:
                strings[key] = blob[v:v + value_bytes].decode('utf-16-le').rstrip('\0')
            c = (v + value_bytes + 3) & ~3
            while c < o + length:
                c = (node(c) + 3) & ~3
            return o + length

        node(0)
        return fixed[0], strings

    def resources(self, wanted_type):
        rva, size = self.dirs[2] if len(self.dirs) > 2 else (0, 0)
        if not rva:
            return []
        root = self.off(rva)

        def entries(o):
            named, ids = struct.unpack_from('<HH', self.d, o + 12)
            for i in range(named + ids):
                yield struct.unpack_from('<II', self.d, o + 16 + 8 * i)

        found = []
        for ident, child in entries(root):
            if ident != wanted_type or not child & 0x80000000:
                continue
            for _, c2 in entries(root + (child & 0x7fffffff)):
                for _, c3 in entries(root + (c2 & 0x7fffffff)):
                    drva, dsize = struct.unpack_from('<II', self.d, root + (c3 & 0x7fffffff))
                    o = self.off(drva)
                    found.append(bytes(self.d[o:o + dsize]))
        return found

    def symbol(self, wanted):
        if not self.symtab:
            return None
        strtab = self.symtab + 18 * self.nsyms
        i = 0
        while i < self.nsyms:
            o = self.symtab + 18 * i
            raw, value, secno, _, _, naux = struct.unpack_from('<8sIhHBB', self.d, o)
            if raw[:4] == b'\0\0\0\0':
                so = strtab + struct.unpack_from('<I', raw, 4)[0]
                name = self.d[so:self.d.index(b'\0', so)].decode()
            else:
                name = raw.rstrip(b'\0').decode()
            if name == wanted and secno > 0:
                return self.sections[secno - 1][1] + value
            i += 1 + naux
        return None


VERSION_STRINGS = ('CompanyName', 'FileDescription', 'FileVersion', 'ProductName', 'ProductVersion')


def version_errors(pe, version, name=None):
    info = pe.version_info()
    errors = []
    if not info:
        errors.append('no version resource')
    else:
        fixed, strings = info
        if fixed != version:
            errors.append('file version %s, expected %s' % (fixed, version))
        for key in VERSION_STRINGS:
            if not strings.get(key):
                errors.append('version resource lacks %s' % key)
        for key in ('FileVersion', 'ProductVersion'):
            if strings.get(key) and strings[key] != version:
                errors.append('%s is %s, expected %s' % (key, strings[key], version))
    if name:
        for e in errors:
            print('FAIL: %s: %s' % (name, e))
    return errors


def shipping_errors(path, name, debug_dir, cert):
    """What keeps a shipped file from being what a vendor ships: debug sections, no debug file, no
    signature that verifies."""
    errors = []
    data = open(path, 'rb').read()
    pe = Pe(data)
    names = [sec[0] for sec in pe.sections]
    if debug_dir:
        debug = [n for n in names if n.startswith(('.debug', '.zdebug'))]
        if debug:
            errors.append('debug sections %s' % ', '.join(debug))
        link = [sec for sec in pe.sections if sec[0] == '.gnu_debuglink']
        if not link:
            errors.append('no .gnu_debuglink section')
        else:
            _, _, _, roff, rsize = link[0]
            linked = data[roff:data.index(b'\0', roff)].decode('latin-1')
            if linked != name + '.debug':
                errors.append('.gnu_debuglink names %s, expected %s.debug' % (linked, name))
        if not os.path.isfile(os.path.join(debug_dir, name + '.debug')):
            errors.append('no debug file %s' % os.path.join(debug_dir, name + '.debug'))
    if cert:
        run = subprocess.run(['osslsigncode', 'verify', '-CAfile', cert, '-in', path], capture_output=True)
        if run.returncode != 0:
            errors.append('its signature does not verify against %s' % cert)
    for e in errors:
        print('FAIL: %s: %s' % (name, e))
    return errors


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('file')
    ap.add_argument('--machine', choices=MACHINES)
    ap.add_argument('--subsystem', choices=SUBSYSTEMS)
    ap.add_argument('--dll', action='store_true')
    ap.add_argument('--manifest')
    ap.add_argument('--ui-access')
    ap.add_argument('--export', action='append', default=[])
    ap.add_argument('--only-exports', action='store_true')
    ap.add_argument('--imports-from', action='append', default=[])
    ap.add_argument('--entry-symbol')
    ap.add_argument('--min-os')
    ap.add_argument('--version', help='every binary carries a version resource of this version')
    ap.add_argument('--runs-elevated', action='store_true', help='run elevated whatever its manifest asks')
    ap.add_argument('--debug-dir', help='folder of the shipped files\' debug files')
    ap.add_argument('--cert', help='certificate every shipped file\'s signature verifies against')
    a = ap.parse_args()

    # A folder: the checks over every binary in it (the shipped set).
    if os.path.isdir(a.file):
        names = sorted(n for n in os.listdir(a.file) if n.lower().endswith(('.exe', '.dll', '.sys')))
        failed = set()
        for n in names:
            path = os.path.join(a.file, n)
            if version_errors(Pe(open(path, 'rb').read()), a.version, n):
                failed.add(n)
            if shipping_errors(path, n, a.debug_dir, a.cert):
                failed.add(n)
        if a.cert:
            ext = subprocess.run(['openssl', 'x509', '-in', a.cert, '-noout', '-ext', 'basicConstraints'],
                                 capture_output=True, text=True).stdout
            if 'CA:FALSE' not in ext:
                print('FAIL: %s is not an end-entity certificate (CA:FALSE): %s' % (a.cert, ext.strip() or 'no mark'))
                failed.add(a.cert)
        checks = ['version %s' % a.version] + (['stripped, debug files in %s' % a.debug_dir] if a.debug_dir else []) + (
            ['signed'] if a.cert else [])
        print('%d binaries in %s, %s: %s' % (len(names), a.file, ', '.join(checks), 'FAIL' if failed or not names else 'ok'))
        return 1 if failed or not names else 0

    pe = Pe(open(a.file, 'rb').read())
    errors = []

    def expect(what, want, got):
        if want != got:
            errors.append('%s: expected %s, found %s' % (what, want, got))

    if a.machine:
        expect('machine', hex(MACHINES[a.machine]), hex(pe.machine))
    if a.subsystem:
        expect('subsystem', SUBSYSTEMS[a.subsystem], pe.subsystem)
    expect('DLL flag', a.dll, bool(pe.chars & 0x2000))
    imports = pe.imports()
    allowed = {d.lower() for d in a.imports_from} or SYSTEM_DLLS
    for dll in imports:
        if dll not in allowed and not dll.startswith('api-ms-win-'):
            errors.append('imports from %s, which is not allowed' % dll)
    manifests = pe.manifests()
    levels = [m.group(1) for m in (re.search(r'requestedExecutionLevel[^>]*level="([^"]+)"', t) for t in manifests) if m]
    if a.runs_elevated or any(level in ELEVATED_LEVELS for level in levels):
        for dll in imports:
            if dll not in KNOWN_DLLS and not dll.startswith('api-ms-win-'):
                errors.append('runs elevated and imports %s, which is not a known DLL: a copy beside the program '
                              'would be loaded' % dll)
    declared = min(pe.os_version, pe.subsys_version)
    for dll, fn in pe.imported_functions():
        since = NEWER_THAN_XP.get(dll, {}).get(fn)
        if since and since > declared:
            errors.append('imports %s!%s, which needs Windows %d.%d; the header declares %d.%d' % (
                dll, fn, since[0], since[1], declared[0], declared[1]))
    if a.manifest or a.ui_access:
        mans = pe.manifests()
        if len(mans) != 1:
            errors.append('expected one embedded manifest, found %d' % len(mans))
        else:
            level = re.search(r'requestedExecutionLevel[^>]*level="([^"]+)"', mans[0])
            ui = re.search(r'requestedExecutionLevel[^>]*uiAccess="([^"]+)"', mans[0])
            if a.manifest:
                expect('execution level', a.manifest, level.group(1) if level else None)
            if a.ui_access:
                expect('uiAccess', a.ui_access, ui.group(1) if ui else None)
    exports = pe.exports()
    wanted = {}
    for e in a.export:
        name, ordinal = e.split('@')
        wanted[name] = int(ordinal)
        expect('export %s' % name, 'ordinal %s' % ordinal, 'ordinal %s' % exports.get(name))
    if a.only_exports:
        extra = sorted(set(exports) - set(wanted))
        if extra:
            errors.append('unexpected exports: %s' % ', '.join(extra))
    if a.entry_symbol:
        addr = pe.symbol(a.entry_symbol)
        if addr is None:
            errors.append('symbol %s not found (binary stripped?)' % a.entry_symbol)
        else:
            expect('entry point', '%s (%#x)' % (a.entry_symbol, addr), '%#x' % pe.entry if pe.entry != addr else '%s (%#x)' % (a.entry_symbol, addr))
    if a.version:
        errors += version_errors(pe, a.version)
    if a.min_os:
        major, minor = (int(x) for x in a.min_os.split('.'))
        expect('lowest OS version', (major, minor), pe.os_version)
        expect('subsystem version', (major, minor), pe.subsys_version)

    print('%s: machine %#x, subsystem %d, imports %s, exports %s' % (
        a.file.rsplit('/', 1)[-1], pe.machine, pe.subsystem, ', '.join(imports) or '-',
        ', '.join('%s@%d' % kv for kv in sorted(exports.items(), key=lambda kv: kv[1])) or '-'))
    for e in errors:
        print('FAIL: ' + e)
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main())
