#!/usr/bin/python3
"""Nimbrel as a user installs it: the tree `cmake --install` lays out under
a prefix of the test's own, and the Debian packages unpacked into a scratch
root. The installed program runs on the test's display with private
folders, driven through accessibility (dogtail).

Usage: installed_test.py CASE BUILD_DIR SOURCE_DIR   (exit 0 pass, 1 fail, 77 skip)
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

CASES = {}
ARCH = subprocess.run(['dpkg-architecture', '-qDEB_HOST_MULTIARCH'], capture_output=True,
                      text=True).stdout.strip() or 'x86_64-linux-gnu'
SIM = '0=sim:channels=2,traffic=default'


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def skip(why):
    print('SKIP:', why)
    sys.exit(77)


def run(argv, **kw):
    """Runs a command; its output is printed when it fails."""
    r = subprocess.run(argv, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        print('$ ' + ' '.join(argv) + '\n' + r.stdout + r.stderr)
    return r


def wait_for(cond, what, timeout=30.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            v = cond()
        except Failure:
            raise
        except Exception:   # the accessibility tree changes under us
            v = None
        if v:
            return v
        time.sleep(0.05)
    raise Failure('timed out waiting for ' + what)


def elf_files(root):
    for dirpath, _, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            if os.path.isfile(p) and not os.path.islink(p):
                with open(p, 'rb') as f:
                    if f.read(4) == b'\x7fELF':
                        yield p


def check_runpaths(root):
    """Every RUNPATH is relative to $ORIGIN, or there is none."""
    for p in elf_files(root):
        out = run(['readelf', '-d', p]).stdout
        for m in re.finditer(r'\((?:RPATH|RUNPATH)\).*\[(.*)\]', out):
            for entry in m.group(1).split(':'):
                check(entry.startswith('$ORIGIN'), '%s has the search path %s' % (p, entry))


def check_no_build_paths(root, paths):
    """No file of the tree names the source or build folder."""
    for dirpath, _, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            if os.path.islink(p):
                continue
            with open(p, 'rb') as f:
                data = f.read()
            for bad in paths:
                check(bad.encode() not in data, '%s names %s' % (p, bad))


def build_example(prefix, dest):
    """Builds the installed example plug-in against the installed tree only
    (pkg-config sees nothing else of ours) and puts it into dest."""
    src = os.path.join(prefix, 'share/doc/nimbrel-dev/examples/counter')
    check(os.path.isfile(os.path.join(src, 'counter.c')), 'example not installed in ' + src)
    work = tempfile.mkdtemp(prefix='nbexample-')
    shutil.copytree(src, os.path.join(work, 'counter'))
    pc = os.path.join(prefix, 'lib', ARCH, 'pkgconfig')
    env = dict(os.environ, PKG_CONFIG_PATH=pc)
    flags = run(['pkg-config', '--cflags', 'nimbrel-plugin'], env=env)
    check(flags.returncode == 0, 'pkg-config --cflags nimbrel-plugin failed')
    ours = [f for f in flags.stdout.split() if f.startswith('-I') and 'gtk' not in f
            and 'glib' not in f and not f.startswith('-I/usr/include')]
    check(ours and all(os.path.realpath(f[2:]).startswith(os.path.realpath(prefix)) for f in ours),
          'include folders outside the installed tree: %s' % flags.stdout)
    r = run(['make', '-C', os.path.join(work, 'counter'), 'CFLAGS=-O2 -Wall -Wno-deprecated-declarations -Werror'], env=env)
    check(r.returncode == 0, 'the example did not build')
    shutil.copy2(os.path.join(work, 'counter', 'counter.so'), dest)
    shutil.rmtree(work, ignore_errors=True)


def manual_example(source):
    """The whole plug-in that nimbrel-plugin(7) shows: the literal block
    after "A whole plug-in with the kit", dedented."""
    lines = open(os.path.join(source, 'man/nimbrel-plugin.7.rst'), encoding='utf-8').read().split('\n')
    start = next(i for i, l in enumerate(lines) if l.startswith('A whole plug-in with the kit'))
    start = next(i for i in range(start, len(lines)) if lines[i].strip() == '::') + 2
    end = next(i for i in range(start, len(lines)) if lines[i] and not lines[i].startswith('    '))
    return '\n'.join(l[4:] for l in lines[start:end]).strip() + '\n'


def build_manual_example(prefix, source):
    """The manual's plug-in builds against the installed tree alone, in
    under 60 lines, and exports what the host looks for and nothing else."""
    code = manual_example(source)
    check(len(code.split('\n')) < 60, 'the manual\'s plug-in has %d lines' % len(code.split('\n')))
    work = tempfile.mkdtemp(prefix='nbmanual-')
    try:
        with open(os.path.join(work, 'manual.c'), 'w') as f:
            f.write(code)
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, 'lib', ARCH, 'pkgconfig'))
        flags = run(['pkg-config', '--cflags', 'nimbrel-plugin'], env=env).stdout.split()
        so = os.path.join(work, 'manual.so')
        r = run(['cc', '-shared', '-fPIC', '-O2', '-Wall', '-Werror', '-Wno-deprecated-declarations']
                + flags + [os.path.join(work, 'manual.c'), '-o', so], env=env)
        check(r.returncode == 0, 'the manual\'s plug-in did not build')
        syms = run(['nm', '-D', '--defined-only', so]).stdout.split()[2::3]
        check(sorted(s for s in syms if not s.startswith('_init') and not s.startswith('_fini')) ==
              ['__nbpg_author', '__nbpg_description', '__nbpg_name', '__nbpg_version',
               'nbpg_handler'], 'the manual\'s plug-in exports %s' % syms)
    finally:
        shutil.rmtree(work, ignore_errors=True)


class Program:
    """The installed program on the display, with private folders."""

    def __init__(self, exe, extra_env=None):
        from dogtail import config
        config.logDebugToStdOut = False
        config.logDebugToFile = False
        config.actionDelay = 0.05
        config.searchBackoffDuration = 0.1
        config.searchCutoffCount = 5
        config.defaultDelay = 0.1
        self.root = tempfile.mkdtemp(prefix='nbinst-')
        env = dict(os.environ)
        for k in ('ZELK_BOARDS', 'LD_LIBRARY_PATH', 'LANGUAGE', 'LC_ALL', 'LC_MESSAGES'):
            env.pop(k, None)
        for d in ('home', 'data', 'config', 'cache', 'runtime'):
            os.makedirs(os.path.join(self.root, d), mode=0o700)
        env.update(HOME=os.path.join(self.root, 'home'),
                   XDG_DATA_HOME=os.path.join(self.root, 'data'),
                   XDG_CONFIG_HOME=os.path.join(self.root, 'config'),
                   XDG_CACHE_HOME=os.path.join(self.root, 'cache'),
                   XDG_RUNTIME_DIR=os.path.join(self.root, 'runtime'),
                   ZELK_LOCK_DIR=os.path.join(self.root, 'runtime', 'zelk'),
                   ZELK_BOARDS=SIM, GTK_MODULES='gail:atk-bridge',
                   ASAN_OPTIONS='detect_leaks=0', LANG='C.UTF-8')
        env.update(extra_env or {})
        self.proc = subprocess.Popen([exe], env=env)
        self.app = wait_for(self._find_app, 'the program on the accessibility bus')

    def _find_app(self):
        from dogtail import tree
        check(self.proc.poll() is None, 'the program ended early with %s' % self.proc.poll())
        for a in tree.root.children:
            try:
                if a.name == 'nimbrel' and a.get_process_id() == self.proc.pid:
                    return a
            except Exception:
                pass
        return None

    def find(self, node, role, name=None, what=None):
        from dogtail.predicate import GenericPredicate
        return wait_for(lambda: node.findChild(GenericPredicate(name=name, roleName=role),
                                               retry=False, requireResult=False),
                        what or '%s %r' % (role, name))

    def window(self, role, name=None):
        def find():
            for w in self.app.children:
                if w.roleName == role and w.showing and (name is None or w.name == name):
                    return w
            return None
        return wait_for(find, '%s window %r' % (role, name))

    def names(self, node, role=None):
        """Names of node's descendants (of one role, or all)."""
        return [n.name for n in node.findChildren(
            lambda n: role is None or n.roleName == role)]

    def menu(self, top, item):
        self.find(self.app, 'menu', top).doActionNamed('click')
        self.find(self.app, 'menu item', item).doActionNamed('click')

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def start_and_check(exe, texts, load_example=False, extra_env=None):
    """Starts exe, takes channel 0 in the chooser and checks that the bus
    viewer is loaded; with load_example loads the example plug-in through
    Plugins > Configure. texts: the user-visible texts in the language the
    program should speak."""
    # dogtail insists on exactly this module list, and the program inherits it.
    os.environ['GTK_MODULES'] = 'gail:atk-bridge'
    if not os.environ.get('DISPLAY') or not os.environ.get('DBUS_SESSION_BUS_ADDRESS'):
        skip('no display or session bus')
    try:
        from dogtail import tree  # noqa: F401
    except ImportError:
        skip('dogtail is not installed (scripts/install-deps.sh)')
    p = Program(exe, extra_env)
    try:
        chooser = p.window('dialog', 'Nimbrel, ver. 3.15')
        labels = p.names(chooser)
        for t in texts['chooser']:
            check(t in labels, 'chooser text %r not among %r' % (t, labels))
        p.find(chooser, 'push button', texts['ok']).doActionNamed('click')
        main = p.window('frame')
        check(main.name == 'ch 0 - Nimbrel, ver. 3.15', 'main window %r' % main.name)
        menus = p.names(main, 'menu')
        for t in texts['menus']:
            check(t in menus, 'menu %r not among %r' % (t, menus))
        tabs = lambda: p.names(main, 'page tab')  # noqa: E731
        wait_for(lambda: texts['busview'] in tabs(), 'the bus viewer page')
        page_labels = p.names(main)
        for t in texts['busview_texts']:
            check(t in page_labels, 'bus viewer text %r not among %r' % (t, page_labels))
        if load_example:
            p.menu(texts['plugins'], texts['configure'])
            dlg = p.window('dialog', texts['available'])
            title = p.find(dlg, 'label', 'Frame counter', 'the example in the plug-in list')
            y = title.position[1] + title.size[1] / 2
            from dogtail.predicate import GenericPredicate
            toggles = dlg.findChildren(GenericPredicate(roleName='toggle button'))
            toggle = min(toggles, key=lambda t: abs(t.position[1] + t.size[1] / 2 - y))
            toggle.doActionNamed('click')
            p.find(dlg, 'push button', texts['close']).doActionNamed('click')
            wait_for(lambda: 'Frame counter' in tabs(), 'the example plug-in page')
            check('Count sent frames too' in p.names(main, 'check box'), 'example page content')
        p.menu(texts['file'], texts['quit'])
        rc = p.proc.wait(timeout=30)
        check(rc == 0, 'exit code %s' % rc)
    finally:
        p.close()


ENGLISH = {
    'chooser': ['Choose CAN channel:', 'Load Session'], 'ok': 'OK', 'menus': ['File', 'Help'],
    'busview': 'Bus view', 'busview_texts': [], 'plugins': 'Plugins',
    'configure': 'Configure', 'available': 'Available plugins', 'close': 'Close',
    'file': 'File', 'quit': 'Quit',
}


GERMAN = {
    'chooser': ['CAN-Kanal wählen:', 'Sitzung laden', 'Frame-Format:'], 'ok': 'OK',
    'menus': ['Datei', 'HW-Einstellungen', 'Plug-ins', 'Hilfe'],
    'busview': 'Busansicht', 'busview_texts': ['Je Identifier', 'Anhalten', 'Mitschnitt'],
    'plugins': 'Plug-ins', 'configure': 'Einrichten', 'available': 'Verfügbare Plug-ins',
    'close': 'Schließen', 'file': 'Datei', 'quit': 'Beenden',
}


def german_locale():
    """Locale data for de_DE.UTF-8 made for this test (LOCPATH), so the
    test needs no locale generated on the machine."""
    where = tempfile.mkdtemp(prefix='nblocale-')
    r = run(['localedef', '-i', 'de_DE', '-f', 'UTF-8', os.path.join(where, 'de_DE.UTF-8')])
    check(r.returncode in (0, 1) and os.path.isdir(os.path.join(where, 'de_DE.UTF-8')),
          'localedef de_DE.UTF-8 failed (package locales)')
    return where


def check_layout(prefix, plugins):
    check(os.path.islink(os.path.join(prefix, 'bin/nimbrel')), 'bin/nimbrel is no link')
    check(os.readlink(os.path.join(prefix, 'bin/nimbrel')) == '../lib/nimbrel/nimbrel',
          'bin/nimbrel points to ' + os.readlink(os.path.join(prefix, 'bin/nimbrel')))
    for f in ['lib/nimbrel/nimbrel', 'bin/zelkctl', 'lib/%s/libzelk.so.1' % ARCH,
              'include/nimbrel/nimbrel.h', 'include/nimbrel/kit.h', 'include/zelk.h',
              'lib/%s/pkgconfig/nimbrel-plugin.pc' % ARCH, 'lib/%s/pkgconfig/zelk.pc' % ARCH,
              'share/icons/hicolor/scalable/apps/nimbrel.svg',
              'share/icons/hicolor/48x48/apps/nimbrel.png',
              'share/applications/org.example.nimbrel.desktop',
              'share/metainfo/org.example.nimbrel.metainfo.xml'] + \
            ['lib/nimbrel/%s.so' % p for p in plugins]:
        check(os.path.exists(os.path.join(prefix, f)), 'missing ' + f)
    soname = os.path.join(prefix, 'lib', ARCH, 'libzelk.so.1')
    check(os.path.islink(soname) or os.path.isfile(soname), 'no soname link')
    check(os.path.islink(os.path.join(prefix, 'lib', ARCH, 'libzelk.so')), 'no libzelk.so link')


@case
def install_tree(build, source, plugins):
    """cmake --install under a prefix of our own: layout, search paths, the
    manual's plug-in builds, the program runs from there and loads the
    example built against it."""
    root = tempfile.mkdtemp(prefix='nbprefix-')
    prefix = os.path.join(root, 'opt', 'nimbrel')
    try:
        r = run(['cmake', '--install', build, '--prefix', prefix])
        check(r.returncode == 0, 'cmake --install failed')
        check_layout(prefix, plugins)
        check_runpaths(prefix)
        env = dict(os.environ)
        env.pop('LD_LIBRARY_PATH', None)
        v = run([os.path.join(prefix, 'bin/nimbrel'), '--version'], env=env)
        check(v.returncode == 0 and v.stdout.startswith('nimbrel 3.15\n'),
              '--version of the installed program: %r' % v.stdout)
        build_example(prefix, os.path.join(prefix, 'lib/nimbrel'))
        build_manual_example(prefix, source)
        start_and_check(os.path.join(prefix, 'bin/nimbrel'), ENGLISH, load_example=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


@case
def man_pages(build, source, plugins):
    """Every manual page renders without a warning of man or groff."""
    pages = sorted(glob.glob(os.path.join(build, 'man', '*.[1-9]')))
    check(len(pages) >= 4, 'manual pages: %s' % pages)
    for page in pages:
        r = run(['man', '--warnings', '-l', page], env=dict(os.environ, MANWIDTH='80', LANG='C.UTF-8',
                                                             MAN_KEEP_FORMATTING=''))
        check(r.returncode == 0 and r.stderr == '', '%s: %s' % (page, r.stderr))
        check('NAME' in r.stdout and 'SEE ALSO' in r.stdout, '%s has no NAME or SEE ALSO' % page)


@case
def catalogues(build, source, domains):
    """The templates in po/ are those of the sources, and every catalogue is
    complete: no fuzzy, no untranslated message, every message of the
    template present, format strings matching."""
    problems = []
    for domain in domains:
        made = os.path.join(build, 'po', domain + '.pot')
        kept = os.path.join(source, 'po', domain, domain + '.pot')
        strip = lambda p: [l for l in open(p, encoding='utf-8')  # noqa: E731
                           if not l.startswith('"POT-Creation-Date:')]
        if not os.path.exists(kept):
            problems.append('%s: no template in po/ (cmake --build BUILD --target po-update)'
                            % domain)
        elif strip(made) != strip(kept):
            problems.append('%s: po/%s/%s.pot is out of date with the sources '
                            '(cmake --build BUILD --target po-update)' % (domain, domain, domain))
        for po in ['de']:
            path = os.path.join(source, 'po', domain, po + '.po')
            if not os.path.exists(path):
                problems.append('%s: no catalogue %s.po' % (domain, po))
                continue
            r = run(['msgfmt', '--check', '--statistics', '-o', '/dev/null', path],
                    env=dict(os.environ, LANG='C.UTF-8', LANGUAGE=''))
            if r.returncode != 0 or 'fuzzy' in r.stderr or 'untranslated' in r.stderr:
                problems.append('%s/%s.po: %s' % (domain, po, r.stderr.strip()))
            if os.path.exists(made):
                r = run(['msgcmp', path, made])
                if r.returncode != 0:
                    problems.append('%s/%s.po lacks messages of the sources' % (domain, po))
    check(not problems, '\n'.join(problems))


@case
def debian_package(build, source, plugins):
    """scripts/package.sh builds the packages; lintian finds no error; they
    unpack into a scratch root (BUILD/deb/root, for debian_run) with
    nothing of the build inside, and validate."""
    debdir = os.path.join(build, 'deb')
    r = run(['bash', os.path.join(source, 'scripts/package.sh'), debdir], cwd=source)
    check(r.returncode == 0, 'scripts/package.sh failed')
    debs = sorted(glob.glob(os.path.join(debdir, '*.deb')))
    names = sorted(os.path.basename(d).split('_')[0] for d in debs)
    check(names == ['libzelk-dev', 'libzelk1', 'nimbrel', 'nimbrel-dev'], 'packages %s' % names)
    r = run(['lintian', '--fail-on', 'error', '--no-tag-display-limit'] + debs)
    print(r.stdout)
    check(r.returncode == 0, 'lintian reports errors')
    deb = {os.path.basename(d).split('_')[0]: d for d in debs}
    depends = run(['dpkg-deb', '-f', deb['nimbrel'], 'Depends']).stdout
    for need in ('libzelk1 (= 3.15)', 'libgtk2.0-0', 'libc6'):
        check(need in depends, 'nimbrel Depends lacks %s: %s' % (need, depends))

    root = os.path.join(debdir, 'root')
    shutil.rmtree(root, ignore_errors=True)
    for d in debs:
        check(run(['dpkg', '-x', d, root]).returncode == 0, 'dpkg -x ' + d)
    usr = os.path.join(root, 'usr')
    check_layout(usr, plugins)
    check_runpaths(root)
    check_no_build_paths(root, [source, build])
    for comp in names:
        check(os.path.isfile(os.path.join(usr, 'share/doc', comp, 'copyright')),
              comp + ' has no copyright file')
    r = run(['desktop-file-validate',
             os.path.join(usr, 'share/applications/org.example.nimbrel.desktop')])
    check(r.returncode == 0 and not r.stdout.strip(), 'desktop-file-validate: ' + r.stdout)
    r = run(['appstreamcli', 'validate', '--no-net',
             os.path.join(usr, 'share/metainfo/org.example.nimbrel.metainfo.xml')])
    check(r.returncode == 0, 'appstreamcli validate: ' + r.stdout)


@case
def debian_run(build, source, plugins):
    """The program unpacked by debian_package runs from the scratch root in
    German, with the bus viewer loaded."""
    usr = os.path.join(build, 'deb', 'root', 'usr')
    check(os.path.exists(os.path.join(usr, 'bin/nimbrel')), 'no unpacked package in ' + usr)
    locales = german_locale()
    try:
        start_and_check(os.path.join(usr, 'bin/nimbrel'), GERMAN, extra_env={
            'LD_LIBRARY_PATH': os.path.join(usr, 'lib', ARCH), 'LOCPATH': locales,
            'LANGUAGE': 'de', 'LANG': 'de_DE.UTF-8'})
    finally:
        shutil.rmtree(locales, ignore_errors=True)


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in CASES:
        print(__doc__, file=sys.stderr)
        return 2
    name, build, source = sys.argv[1:4]
    plugins = sys.argv[4].split(',') if len(sys.argv) > 4 and sys.argv[4] else []
    try:
        CASES[name](os.path.abspath(build), os.path.abspath(source), plugins)
    except Failure as e:
        print('FAIL:', e)
        return 1
    print('PASS')
    return 0


if __name__ == '__main__':
    sys.exit(main())
