#!/usr/bin/python3
"""Session management seen from outside: the real program, driven through
accessibility (dogtail) on the test's display, with its own HOME and data
folder and an installation folder of its own holding copies of the program
and the recorder plug-ins (one of them named so that it is loaded
automatically).

Usage: outside_test.py CASE   (exit 0 pass, 1 fail, 77 skipped)

What is checked is what the program leaves on disk and its exit code. The
automatic file is replaced by a rename on every write, so a new inode
tells that it was rewritten.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


def skip(why):
    print('SKIP:', why)
    sys.exit(77)


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def wait_for(cond, what, timeout=20.0):
    end = time.time() + timeout
    while time.time() < end:
        v = cond()
        if v:
            return v
        time.sleep(0.05)
    raise Failure('timed out waiting for ' + what)


class Program:
    def __init__(self):
        stage = os.environ.get('NB_STAGE_DIR', '')
        self.plugdir = os.environ.get('SES_PLUGIN_DIR', '')
        if not os.path.exists(os.path.join(stage, 'nimbrel')):
            skip('the program is not built')
        self.root = tempfile.mkdtemp(prefix='nbouter-')
        self.inst = os.path.join(self.root, 'inst')
        os.makedirs(self.inst)
        shutil.copy2(os.path.join(stage, 'nimbrel'), self.inst)
        for name in os.listdir(stage):
            if name.startswith('libzelk.so'):
                shutil.copy2(os.path.join(stage, name), self.inst, follow_symlinks=True)
        # RecA is the automatic plug-in; RecB and RecC are loaded on demand.
        for src, dst in (('ses_rec1.so', 'busview_rec.so'), ('ses_rec2.so', 'rec_b.so'),
                         ('ses_rec3.so', 'rec_c.so')):
            shutil.copy2(os.path.join(self.plugdir, src), os.path.join(self.inst, dst))
        self.auto_plugin = os.path.join(self.inst, 'busview_rec.so')
        self.rec_b = os.path.join(self.inst, 'rec_b.so')
        self.rec_c = os.path.join(self.inst, 'rec_c.so')
        self.data = os.path.join(self.root, 'data')
        self.env = dict(os.environ, HOME=os.path.join(self.root, 'home'), XDG_DATA_HOME=self.data,
                        XDG_CONFIG_HOME=os.path.join(self.root, 'config'),
                        GTK_MODULES='gail:atk-bridge', ASAN_OPTIONS='detect_leaks=0')
        self.env.pop('ZELK_BOARDS', None)
        os.makedirs(self.env['HOME'])
        self.proc = None
        self.app = None
        self.seen_dialogs = []

    def auto_file(self, chan=0):
        return os.path.join(self.data, '.nbauto-ch%d.nbs' % chan)

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, 'w') as f:
            f.write(text)
        return path

    def start(self, *args):
        self.proc = subprocess.Popen([os.path.join(self.inst, 'nimbrel')] + list(args),
                                     env=self.env)
        self.app = wait_for(self._find_app, 'the program on the accessibility bus')

    def _find_app(self):
        for a in tree.root.children:
            try:
                if a.name == 'nimbrel' and a.get_process_id() == self.proc.pid:
                    return a
            except Exception:
                pass
        check(self.proc.poll() is None, 'program ended early with %s' % self.proc.poll())
        return None

    def dialog(self, what, name=None):
        """The next showing dialog (or alert) not handed out before."""
        def find():
            for c in self.app.children:
                try:
                    if c.roleName in ('dialog', 'alert', 'file chooser') and c.showing and \
                            (name is None or c.name == name) and \
                            all(c != d for d in self.seen_dialogs):
                        return c
                except Exception:
                    pass
            return None
        d = wait_for(find, what)
        self.seen_dialogs.append(d)
        return d

    def labels(self, node):
        return [l.name for l in node.findChildren(GenericPredicate(roleName='label'))]

    def button(self, node, name, role='push button'):
        return wait_for(lambda: node.findChild(GenericPredicate(name=name, roleName=role),
                                               retry=False, requireResult=False),
                        'button ' + name)

    def menu(self, top, item):
        m = wait_for(lambda: self.app.findChild(GenericPredicate(name=top, roleName='menu'),
                                                retry=False, requireResult=False), 'menu ' + top)
        m.doActionNamed('click')
        it = wait_for(lambda: self.app.findChild(GenericPredicate(name=item, roleName='menu item'),
                                                 retry=False, requireResult=False),
                      'menu item ' + item)
        it.doActionNamed('click')

    def quit(self):
        self.menu('File', 'Quit')
        return self.proc.wait(timeout=30)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def inode(path):
    st = os.stat(path)
    return (st.st_ino, st.st_mtime_ns)


def main_section(text):
    return text.split('\n[Plugin]')[0]


@case
def command_line_unknown_key(p):
    bad = p.write('bad.nbs', '[Nimbrel]\nHsize=1000\nColour=red\n')
    p.start(bad)
    d = p.dialog('the parsing error')
    check('parsing error: unknown key at line 3: unrecognized key' in p.labels(d),
          'parsing error text: %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    d = p.dialog('the load failure')
    check('Can not load session from file "%s": unknown key at line 3: unrecognized key' % bad
          in p.labels(d), 'load failure text: %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    rc = p.proc.wait(timeout=30)
    check(rc == 0, 'exit code %s' % rc)
    check(not os.path.exists(p.auto_file()), 'automatic file written after a failed load')


@case
def first_start_and_rewrites(p):
    p.start()
    chooser = p.dialog('the channel chooser')
    p.button(chooser, 'OK').doActionNamed('click')
    auto = p.auto_file()
    text = wait_for(lambda: read(auto), 'the automatic file of a first start')
    check(text.startswith('\n[Nimbrel]\nHsize='), 'automatic file: %r' % text)
    check('\nChan=' not in text and '\nFlags=' not in text, 'Chan or Flags in automatic file')
    check('\nLoadPlugin=%s\n' % p.auto_plugin in text, 'automatic plug-in not saved: %r' % text)
    check('\n[Plugin]\nPath=%s\n' % p.auto_plugin in text, 'no section for the plug-in')

    # Listen-only mode does not.
    before = inode(auto)
    p.button(p.app, 'Set LOM', 'toggle button').doActionNamed('click')
    p.button(p.app, 'Clear LOM', 'toggle button')   # the handler has run to its end
    check(inode(auto) == before, 'rewritten after listen-only')
    p.button(p.app, 'Clear LOM', 'toggle button').doActionNamed('click')
    p.button(p.app, 'Set LOM', 'toggle button')
    check(inode(auto) == before, 'rewritten after listen-only off')


    # Start/Stop writes the session.
    before = inode(auto)
    p.button(p.app, 'Start', 'toggle button').doActionNamed('click')
    p.button(p.app, 'Stop', 'toggle button')
    wait_for(lambda: inode(auto) != before, 'a rewrite after Start')
    before = inode(auto)
    p.button(p.app, 'Stop', 'toggle button').doActionNamed('click')
    p.button(p.app, 'Start', 'toggle button')
    wait_for(lambda: inode(auto) != before, 'a rewrite after Stop')

    # Neither does a hardware reset of the controller.
    before = inode(auto)
    p.button(p.app, 'Reset').doActionNamed('click')
    q = p.dialog('the hardware reset question')
    p.button(q, 'Yes').doActionNamed('click')
    wait_for(lambda: not q.showing if _alive(q) else True, 'the question to close')
    p.button(p.app, 'Set LOM', 'toggle button')   # answered after the handler ended
    check(inode(auto) == before, 'rewritten after a hardware reset')

    # The write timeout dialog does.
    p.menu('HW settings', 'Write timeout')
    d = p.dialog('the write timeout dialog')
    spin = wait_for(lambda: d.findChild(GenericPredicate(roleName='spin button'), retry=False,
                                        requireResult=False), 'the spin button')
    spin.text = '55'
    p.button(d, 'OK').doActionNamed('click')
    wait_for(lambda: '\nWtout=55\n' in (read(auto) or ''), 'Wtout=55 in the automatic file')

    # Loading a plug-in in the Available plugins dialog: carried out while
    # the dialog is open, saved when it closes.
    p.menu('Plugins', 'Configure')
    d = p.dialog('the Available plugins dialog', 'Available plugins')
    title = wait_for(lambda: d.findChild(GenericPredicate(name='RecB', roleName='label'),
                                         retry=False, requireResult=False), 'the RecB row')
    toggles = d.findChildren(GenericPredicate(roleName='toggle button'))
    row_y = title.position[1]
    toggle = min(toggles, key=lambda t: abs(t.position[1] - row_y))
    check(toggle.name == 'Load   ', 'RecB toggle reads %r' % toggle.name)
    toggle.doActionNamed('click')
    wait_for(lambda: p.app.findChild(GenericPredicate(name='RecB', roleName='page tab'),
                                     retry=False, requireResult=False),
             'the RecB page while the dialog is open')
    check('\nLoadPlugin=%s\n' % p.rec_b not in read(auto), 'saved before the dialog closed')
    before = inode(auto)
    p.button(d, 'Close').doActionNamed('click')
    wait_for(lambda: inode(auto) != before and '\nLoadPlugin=%s\n' % p.rec_b in read(auto),
             'RecB in the automatic file after the dialog closed')

    # Quitting writes nothing.
    before = inode(auto)
    rc = p.quit()
    check(rc == 0, 'exit code %s' % rc)
    check(inode(auto) == before, 'rewritten on quit')

    # The next start on the same channel finds the same plug-ins.
    p.seen_dialogs = []
    p.start()
    chooser = p.dialog('the channel chooser')
    p.button(chooser, 'OK').doActionNamed('click')
    wait_for(lambda: p.app.findChild(GenericPredicate(name='RecB', roleName='page tab'),
                                     retry=False, requireResult=False),
             'RecB loaded again on the next start')
    check(p.quit() == 0, 'exit code of the second start')


def _alive(node):
    try:
        node.name
        return True
    except Exception:
        return False


@case
def reset_to_defaults(p):
    s = p.write('start.nbs', '\n[Nimbrel]\nChan=0\nFlags=CAN11\nBaud=125\nAmask=0x7\nAcode=0x9\n'
                'Wtout=50\nLoadPlugin=%s\n\n[Plugin]\nPath=%s\nColor=red\n' % (p.rec_b, p.rec_b))
    p.start(s)
    auto = p.auto_file()
    wait_for(lambda: '\nLoadPlugin=%s\n' % p.rec_b in (read(auto) or ''), 'the loaded session')
    check('\nBaud=125\n' in read(auto), 'session values not applied')
    before = inode(auto)
    p.menu('File', 'Reset session to defaults')
    q = p.dialog('the reset question')
    check('Are you sure you want reset session to defaults (Nimbrel will be restarted)?'
          in p.labels(q), 'question text %r' % p.labels(q))
    p.button(q, 'Yes').doActionNamed('click')
    want = ('\n[Nimbrel]\nHsize=%s\nVsize=%s\nLeftPaneSize=%s\nBaud=500\nAmask=0x0\nAcode=0x0\n'
            'Wtout=20\nLoadPlugin=%s\n')

    def restarted():
        t = read(auto) or ''
        return inode(auto) != before and '\nBaud=500\n' in t and t
    text = wait_for(restarted, 'the automatic file of the restarted pass')
    main = main_section(text)
    lines = main.split('\n')
    check(main == want % (lines[2][6:], lines[3][6:], lines[4][13:], p.auto_plugin),
          'after the reset: %r' % text)
    check(p.rec_b not in text, 'RecB still saved after the reset')
    check(p.proc.poll() is None, 'the program ended instead of restarting')
    check(p.quit() == 0, 'exit code')


@case
def load_session_from_menu(p):
    s1 = p.write('one.nbs', '[Nimbrel]\nLoadPlugin=%s\n' % p.rec_c)
    s2 = p.write('two.nbs', '[Nimbrel]\nChan=0\nBaud=250\nLoadPlugin=%s\n[Plugin]\nPath=%s\n'
                 'Color=green\nSize=0x10\n' % (p.rec_b, p.rec_b))
    p.start(s1)
    auto = p.auto_file()
    wait_for(lambda: '\nLoadPlugin=%s\n' % p.rec_c in (read(auto) or ''), 'the first session')
    p.menu('File', 'Load session')
    d = p.dialog('the Load Session dialog')
    entry = wait_for(lambda: d.findChild(GenericPredicate(roleName='text'), retry=False,
                                         requireResult=False), 'the name field')
    entry.text = s2
    p.button(d, 'Open').doActionNamed('click')

    def loaded():
        t = read(auto) or ''
        return '\nPath=%s\nColor=green\nSize=0x10\n' % p.rec_b in t and t
    text = wait_for(loaded, 'the second session with its plug-in keys')
    check('\nBaud=250\n' in text, 'the second session values: %r' % text)
    check(p.rec_c not in text, 'RecC still loaded: %r' % text)
    check('\nLoadPlugin=%s\n' % p.auto_plugin in text, 'the automatic plug-in is missing')
    check(p.quit() == 0, 'exit code')


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in CASES:
        print('usage: outside_test.py {%s}' % ','.join(sorted(CASES)))
        return 2
    if not os.environ.get('DISPLAY'):
        skip('no DISPLAY')
    os.environ['GTK_MODULES'] = 'gail:atk-bridge'
    global tree, GenericPredicate
    try:
        from dogtail import config
        config.actionDelay = 0.05
        config.searchBackoffDuration = 0.1
        config.searchCutoffCount = 20
        config.defaultDelay = 0.05
        config.logDebugToFile = False
        import dogtail.tree as tree
        from dogtail.predicate import GenericPredicate
    except Exception as e:   # dogtail missing or no accessibility bus
        skip('dogtail unavailable: %s' % e)
    p = Program()
    try:
        CASES[sys.argv[1]](p)
        print('PASS', sys.argv[1])
        return 0
    except Failure as e:
        print('FAIL', sys.argv[1] + ':', e)
        return 1
    finally:
        p.stop()


if __name__ == '__main__':
    sys.exit(main())
