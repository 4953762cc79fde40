#!/usr/bin/python3
"""Session management seen from outside: the real program, driven through
accessibility (dogtail) on the test's display, with its own HOME, data,
config, runtime and desktop folders and an installation folder of its own
holding copies of the program and the recorder plug-ins (one of them named
so that it is loaded automatically).

With SES_BUSY_BESIDE=1 a neighbour holds channels 0 and 1 of the default
simulated board in the environment the test was given, as a Nimbrel the
user has open would: the program under test must not see them busy.

Usage: outside_test.py CASE   (exit 0 pass, 1 fail, 77 skipped)

What is checked is what the program leaves on disk and its exit code. The
automatic file is replaced by a rename on every write, so a new inode
tells that it was rewritten.
"""
import ctypes
import ctypes.util
import os
import re
import shutil
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from private_env import PrivateFolders  # noqa: E402

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
        self.folders = PrivateFolders('nbouter-')
        self.root = self.folders.root
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
        self.data = self.folders.data
        self.env = self.folders.env(GTK_MODULES='gail:atk-bridge', ASAN_OPTIONS='detect_leaks=0')
        self.zelkctl = os.path.join(stage, 'zelkctl')
        self.proc = None
        self.app = None
        self.seen_dialogs = []

    def auto_file(self, chan=0):
        folder = os.path.join(self.data, 'nimbrel')
        os.makedirs(folder, mode=0o700, exist_ok=True)
        return os.path.join(folder, '.nbauto-ch%d.nbs' % chan)

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, 'w') as f:
            f.write(text)
        return path

    def start(self, *args, stderr=None):
        """Starts the program; its stderr goes to stderr, else to the file
        that complaints() reads."""
        own = stderr is None
        if own:
            stderr = open(os.path.join(self.root, 'program-stderr.txt'), 'a')
        self.proc = subprocess.Popen([os.path.join(self.inst, 'nimbrel')] + list(args),
                                     env=self.env, stderr=stderr)
        if own:
            stderr.close()
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

    def frame(self, title=None):
        """The showing main window (with this title)."""
        def find():
            for c in self.app.children:
                try:
                    if c.roleName == 'frame' and c.showing and (title is None or c.name == title):
                        return c
                except Exception:
                    pass
            return None
        return wait_for(find, 'main window %s' % (title or ''))

    def cells(self):
        return [c.name for c in self.app.findChildren(GenericPredicate(roleName='table cell'))]

    def channels(self):
        """zelkctl list as the program's user sees it: {channel: free or
        busy}."""
        out = subprocess.run([self.zelkctl, 'list'], env=self.env, capture_output=True,
                             text=True, timeout=30).stdout
        states = {}
        for line in out.splitlines():
            line = line.strip()
            if line.startswith('channel '):
                num, state = line[len('channel '):].split(':', 1)
                states[int(num)] = state.split(',')[0].strip()
        return states

    def quit(self, stops=None):
        """File > Quit; with stops, the question that must come first, naming
        what would stop, is answered with Quit."""
        self.menu('File', 'Quit')
        if stops:
            d = self.dialog('the question before quitting')
            check(any(stops in t for t in self.labels(d)), 'question %r' % self.labels(d))
            self.button(d, 'Quit').doActionNamed('click')
        return self.proc.wait(timeout=30)

    def complaints(self):
        """The GLib and GTK warnings and criticals the program printed: each
        one is a fault (of ours, or a toolkit bug we walked into)."""
        try:
            with open(os.path.join(self.root, 'program-stderr.txt'), errors='replace') as f:
                return [l.rstrip() for l in f if re.search(r'-(CRITICAL|WARNING) \*\*', l)]
        except FileNotFoundError:
            return []

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.folders.remove()


class Neighbour:
    """zelkctl holding channels in the test's own environment, standing in
    for a Nimbrel the user has open on the same desktop."""
    def __init__(self):
        self.procs = []

    def hold(self, channels):
        zelkctl = os.path.join(os.environ.get('NB_STAGE_DIR', ''), 'zelkctl')
        env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0')
        env.pop('ZELK_BOARDS', None)
        if env.get('XDG_RUNTIME_DIR'):
            os.makedirs(env['XDG_RUNTIME_DIR'], mode=0o700, exist_ok=True)
        def start(ch):
            return subprocess.Popen([zelkctl, 'dump', str(ch), '--seconds', '600'], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs = [start(ch) for ch in channels]

        def holding():
            # A probe that opens a channel just before its dump does makes
            # that dump give up ("busy"): start it again. A channel is held
            # when its dump runs and a send to it fails (exit code 1).
            for i, ch in enumerate(channels):
                if self.procs[i].poll() is not None:
                    self.procs[i] = start(ch)
            return all(subprocess.run([zelkctl, 'send', str(ch), '123#'], env=env,
                                      capture_output=True, timeout=30).returncode == 1
                       for ch in channels) and all(p.poll() is None for p in self.procs)
        wait_for(holding, 'the neighbour to hold its channels')

    def leave(self):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            p.wait()


class FakeSlcan:
    """A serial adapter on a pseudo-terminal (fake_slcan), reached through
    a fixed link that survives unplugging and plugging in again."""
    def __init__(self, link):
        exe = os.environ.get('FAKE_SLCAN', '')
        if not os.path.exists(exe):
            skip('fake_slcan is not built')
        self.link = link
        self.proc = subprocess.Popen([exe, link], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)

    def do(self, line):
        self.proc.stdin.write(line + '\n')
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def wait(self, command, what):
        check(self.do('wait %s 20000' % command) == 'ok', 'the adapter never got %s (%s)' %
              (command, what))

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)


class _ClientMessage(ctypes.Structure):
    _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong), ('send_event', ctypes.c_int),
                ('display', ctypes.c_void_p), ('window', ctypes.c_ulong),
                ('message_type', ctypes.c_ulong), ('format', ctypes.c_int),
                ('data', ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [('xclient', _ClientMessage), ('pad', ctypes.c_long * 24)]


def close_button(pid, title):
    """What a window manager's close button does: WM_DELETE_WINDOW sent
    to the program's window with this title."""
    r = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(pid), '--name',
                        '^%s$' % title], capture_output=True, text=True, timeout=10)
    ids = r.stdout.split()
    check(ids, 'no window %r' % title)
    x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library('X11'))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(None)
    check(dpy, 'no X display')
    ev = _XEvent()
    ev.xclient.type = 33   # ClientMessage
    ev.xclient.window = int(ids[0])
    ev.xclient.message_type = x11.XInternAtom(dpy, b'WM_PROTOCOLS', 0)
    ev.xclient.format = 32
    ev.xclient.data[0] = x11.XInternAtom(dpy, b'WM_DELETE_WINDOW', 0)
    x11.XSendEvent(dpy, int(ids[0]), 0, 0, ctypes.byref(ev))
    x11.XCloseDisplay(dpy)   # flushes


def frames(first, count):
    return ''.join('t%03X1%02X\\r' % (0x100 + i, i & 0xFF) for i in range(first, first + count))


def log_lines(folder):
    lines = []
    for name in os.listdir(folder):
        lines += [l for l in (read(os.path.join(folder, name)) or '').splitlines() if '#' in l]
    return lines


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
    want = ('\n[Nimbrel]\nHsize=%s\nVsize=%s\nLeftPaneSize=%s\nXpos=%s\nYpos=%s\n'
            'Board=ZELK simulated CAN\nMaker=ZELK simulation\nSerial=SIM-0\nBaud=500\n'
            'Amask=0x0\nAcode=0x0\nWtout=20\nLoadPlugin=%s\nPage=%s\n')

    def restarted():
        t = read(auto) or ''
        return inode(auto) != before and '\nBaud=500\n' in t and t
    text = wait_for(restarted, 'the automatic file of the restarted pass')
    main = main_section(text)
    lines = main.split('\n')
    check(main == want % (lines[2][6:], lines[3][6:], lines[4][13:], lines[5][5:], lines[6][5:],
                          p.auto_plugin, p.auto_plugin),
          'after the reset: %r' % text)
    check(p.rec_b not in text, 'RecB still saved after the reset')
    check(p.proc.poll() is None, 'the program ended instead of restarting')
    check(p.quit() == 0, 'exit code')


@case
def load_session_from_menu(p):
    s1 = p.write('one.nbs', '[Nimbrel]\nLoadPlugin=%s\n' % p.rec_c)
    # The dialog lists the session files in the desktop folder.
    desk = p.folders.desktop
    bad = os.path.join(desk, 'bad.nbs')
    with open(bad, 'w') as f:
        f.write('[Nimbrel]\nBaud=250\nColour=red\n')
    with open(os.path.join(desk, 'two.nbs'), 'w') as f:
        f.write('[Nimbrel]\nChan=0\nBaud=250\nLoadPlugin=%s\n[Plugin]\nPath=%s\n'
                'Color=green\nSize=0x10\n' % (p.rec_b, p.rec_b))
    p.start(s1)
    auto = p.auto_file()
    wait_for(lambda: '\nLoadPlugin=%s\n' % p.rec_c in (read(auto) or ''), 'the first session')
    before = inode(auto)

    def pick(name):
        p.menu('File', 'Load session')
        d = p.dialog('the Load Session dialog')
        cell = wait_for(lambda: d.findChild(GenericPredicate(name=name, roleName='table cell'),
                                            retry=False, requireResult=False), name)
        # A double click selects and opens it, as the user does.
        x, y = cell.position
        w, h = cell.size
        subprocess.run(['xdotool', 'mousemove', str(x + w // 2), str(y + h // 2), 'click',
                        '--repeat', '2', '--delay', '80', '1'], check=True, timeout=10)

    # A wrong pick is refused with the reason; the pass goes on untouched.
    pick('bad.nbs')
    d = p.dialog('the reason bad.nbs cannot be loaded')
    check('Can not load session from file "%s": unknown key at line 3: unrecognized key' % bad
          in p.labels(d), 'message %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    p.button(p.dialog('the Load Session dialog again'), 'Cancel').doActionNamed('click')
    wait_for(lambda: p.app.findChild(GenericPredicate(name='Rec <C> & Co', roleName='page tab'),
                                     retry=False, requireResult=False), 'Rec C still loaded')
    check(p.proc.poll() is None, 'the program ended: %s' % p.proc.poll())
    check(inode(auto) == before, 'the session was rewritten')

    pick('two.nbs')

    def loaded():
        t = read(auto) or ''
        return '\nPath=%s\nColor=green\nSize=0x10\n' % p.rec_b in t and t
    text = wait_for(loaded, 'the second session with its plug-in keys')
    check('\nBaud=250\n' in text, 'the second session values: %r' % text)
    check(p.rec_c not in text, 'RecC still loaded: %r' % text)
    check('\nLoadPlugin=%s\n' % p.auto_plugin in text, 'the automatic plug-in is missing')
    check(p.quit() == 0, 'exit code')


@case
def session_names_another_channel(p):
    # Channel 1 with 11-bit frames and a window geometry of its own.
    s = p.write('ch1.nbs', '[Nimbrel]\nHsize=1100\nVsize=720\nLeftPaneSize=310\nChan=1\n'
                'Flags=CAN11\nBaud=125\nWtout=50\n')
    p.start(s)
    win = p.frame('ch 1 - Nimbrel, ver. 3.15')
    text = wait_for(lambda: read(p.auto_file(1)), 'the automatic file of channel 1')
    for line in ('Hsize=1100', 'Vsize=720', 'LeftPaneSize=310', 'Baud=125', 'Wtout=50'):
        check('\n%s\n' % line in text, '%s missing: %r' % (line, text))
    check(not os.path.exists(p.auto_file(0)), 'channel 0 got an automatic file')
    check(p.channels() == {0: 'free', 1: 'busy'}, 'channels %r' % p.channels())
    wait_for(lambda: '11 bit' in p.cells(), 'the frame format in the panel')
    check('unknown (0)' not in p.cells(), 'panel %r' % p.cells())
    wait_for(lambda: tuple(win.size) == (1100, 720), 'the window size of the session')

    # A reset stays on channel 1 and closes it once.
    before = inode(p.auto_file(1))
    p.menu('File', 'Reset session to defaults')
    p.button(p.dialog('the reset question'), 'Yes').doActionNamed('click')
    wait_for(lambda: inode(p.auto_file(1)) != before and
             '\nBaud=500\n' in (read(p.auto_file(1)) or ''), 'the reset automatic file')
    p.frame('ch 1 - Nimbrel, ver. 3.15')
    check(p.channels() == {0: 'free', 1: 'busy'}, 'after the reset %r' % p.channels())
    check(p.quit() == 0, 'exit code')
    check(p.channels() == {0: 'free', 1: 'free'}, 'after the end %r' % p.channels())

    # A channel that cannot be opened is reported once; the session's
    # settings go to the channel that stays.
    p.seen_dialogs = []
    s = p.write('ch7.nbs', '[Nimbrel]\nChan=7\nBaud=250\n')
    p.start(s)
    d = p.dialog('the message about channel 7')
    check(any('can not open CAN channel 7' in t and 'staying on channel 0' in t
              for t in p.labels(d)), 'message %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    p.frame('ch 0 - Nimbrel, ver. 3.15')
    wait_for(lambda: '\nBaud=250\n' in (read(p.auto_file(0)) or ''), 'Baud=250 on channel 0')
    check(p.channels() == {0: 'busy', 1: 'free'}, 'channels %r' % p.channels())
    check(p.quit() == 0, 'exit code')


@case
def reset_without_data_folder(p):
    blocker = p.write('not-a-folder', '')
    p.env['XDG_DATA_HOME'] = os.path.join(blocker, 'data')
    p.start()
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    first = p.frame()
    p.menu('File', 'Reset session to defaults')
    p.button(p.dialog('the reset question'), 'Yes').doActionNamed('click')
    wait_for(lambda: not _alive(first) or not first.showing, 'the first pass to end')
    p.frame('ch 0 - Nimbrel, ver. 3.15')
    alerts = [c for c in p.app.children if c.roleName == 'alert' and c.showing]
    check(not alerts, 'a message after the reset: %r' % [p.labels(a) for a in alerts])
    check(p.proc.poll() is None, 'the program ended: %s' % p.proc.poll())
    check(p.quit() == 0, 'exit code')


@case
def adapter_lost_and_back(p):
    fake = FakeSlcan(os.path.join(p.root, 'ttyCAN'))
    try:
        _adapter_lost_and_back(p, fake)
    finally:
        fake.close()


def _adapter_lost_and_back(p, fake):
    check(fake.do('up').startswith('up '), 'the adapter did not come up')
    p.env['ZELK_BOARDS'] = '0=slcan:%s,timeout=100' % fake.link
    logger = os.path.join(p.inst, 'logger.so')
    shutil.copy2(os.path.join(os.environ['NB_STAGE_DIR'], 'logger.so'), logger)
    logs = os.path.join(p.root, 'logs')
    os.makedirs(logs)
    s = p.write('slcan.nbs', '[Nimbrel]\nChan=0\nLoadPlugin=%s\n\n[Plugin]\nPath=%s\n'
                'Format=candump\nFolder=%s\nAutoStart=1\n' % (logger, logger, logs))
    p.start(s)
    p.frame('ch 0 - Nimbrel, ver. 3.15')
    p.button(p.app, 'Start', 'toggle button').doActionNamed('click')
    p.button(p.app, 'Stop', 'toggle button')
    fake.wait('O', 'Start')
    fake.do('send ' + frames(0, 40))
    wait_for(lambda: len(log_lines(logs)) == 40, 'the first 40 frames in the log')

    # Unplugged: told once, stopped look, the panel says so.
    check(fake.do('down') == 'down', 'unplug')
    d = p.dialog('the message about the lost channel')
    check(any('CAN channel 0 is lost' in t for t in p.labels(d)), 'message %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    start = p.button(p.app, 'Start', 'toggle button')
    check(not start.sensitive, 'Start can be pressed while the adapter is gone')
    wait_for(lambda: any(c.startswith('LOST') for c in p.cells()), 'LOST in the panel')

    # Plugged in again at the same path: reopened, stopped, ready to start.
    check(fake.do('up').startswith('up '), 'the adapter did not come back')
    wait_for(lambda: start.sensitive, 'the Start button back')
    check(not any(c.startswith('LOST') for c in p.cells()), 'still LOST: %r' % p.cells())
    start.doActionNamed('click')
    p.button(p.app, 'Stop', 'toggle button')
    fake.wait('O', 'the second Start')
    fake.do('send ' + frames(40, 10))
    got = wait_for(lambda: len(log_lines(logs)) == 50 and log_lines(logs), 'all 50 frames in the log')
    ids = [l.split()[2].split('#')[0] for l in got]
    check(ids == ['%03X' % (0x100 + i) for i in range(50)], 'logged %r' % ids)
    alerts = [c for c in p.app.children if c.roleName == 'alert' and c.showing]
    check(not alerts, 'another message: %r' % [p.labels(a) for a in alerts])
    check(p.quit(stops='Logging to ') == 0, 'exit code')


@case
def files_that_are_not_files(p):
    fifo = os.path.join(p.root, 'session.nbs')
    os.mkfifo(fifo)
    for path, kind in ((fifo, 'a FIFO'), ('/dev/zero', 'a device')):
        p.seen_dialogs = []
        p.start(path)
        d = p.dialog('the reason %s cannot be read' % path)
        check(any(path in t and kind in t for t in p.labels(d)), 'message %r' % p.labels(d))
        p.button(d, 'OK').doActionNamed('click')
        d = p.dialog('the load failure')
        check(any(t.startswith('Can not load session from file "%s"' % path)
                  for t in p.labels(d)), 'message %r' % p.labels(d))
        p.button(d, 'OK').doActionNamed('click')
        check(p.proc.wait(timeout=30) == 0, 'exit code')

    # An automatic file that is a FIFO is said so and never replaced; nor
    # is a FIFO chosen in the Save dialog.
    os.makedirs(p.data, exist_ok=True)
    os.mkfifo(p.auto_file())
    target = os.path.join(p.root, 'out.nbs')
    os.mkfifo(target)
    p.seen_dialogs = []
    p.start()
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    d = p.dialog('the reason the automatic file cannot be read')
    check(any('a FIFO' in t for t in p.labels(d)), 'message %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    p.frame()
    p.menu('File', 'Save session')
    d = p.dialog('the Save dialog')
    entry = wait_for(lambda: d.findChild(GenericPredicate(roleName='text'), retry=False,
                                         requireResult=False), 'the name field')
    entry.text = target
    p.button(d, 'Save').doActionNamed('click')
    p.button(p.dialog('the question to replace it'), 'Replace').doActionNamed('click')
    d = p.dialog('the save failure')
    check(any('Can not save current session' in t and target in t and 'not a regular file' in t
              for t in p.labels(d)), 'message %r' % p.labels(d))
    p.button(d, 'OK').doActionNamed('click')
    check(stat.S_ISFIFO(os.stat(target).st_mode), 'the FIFO chosen was replaced')
    check(stat.S_ISFIFO(os.stat(p.auto_file()).st_mode), 'the automatic FIFO was replaced')
    check(p.quit() == 0, 'exit code')


@case
def broken_plugin_files(p):
    s = p.write('b.nbs', '[Nimbrel]\nLoadPlugin=%s\n[Plugin]\nPath=%s\nColor=red\nSize=0x10\n'
                % (p.rec_b, p.rec_b))
    p.start(s)
    keys = '\nLoadPlugin=%s\n' % p.rec_b, '\n[Plugin]\nPath=%s\nColor=red\nSize=0x10\n' % p.rec_b
    wait_for(lambda: all(k in (read(p.auto_file()) or '') for k in keys), 'RecB and its keys')
    check(p.quit() == 0, 'exit code')

    # Cut copies of a plug-in (RecB's own file among them) and a FIFO with
    # a plug-in's name: the program starts, names each on stderr and keeps
    # RecB's line and keys in the automatic file.
    with open(p.rec_b, 'rb') as f:
        whole = f.read()
    for name, size in (('rec_b.so', 20000), ('cut.so', 1000)):
        with open(os.path.join(p.inst, name), 'wb') as f:
            f.write(whole[:size])
    os.mkfifo(os.path.join(p.inst, 'pipe.so'))
    before = inode(p.auto_file())
    errors = os.path.join(p.root, 'stderr.txt')
    p.seen_dialogs = []
    with open(errors, 'w') as err:
        p.start(stderr=err)
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    text = wait_for(lambda: inode(p.auto_file()) != before and read(p.auto_file()),
                    'the automatic file of the start')
    check(all(k in text for k in keys), 'RecB lost: %r' % text)
    check(p.quit() == 0, 'exit code')
    lines = read(errors).splitlines()
    for name in ('rec_b.so', 'cut.so', 'pipe.so'):
        check(any(os.path.join(p.inst, name) in l for l in lines), '%s not named: %r' % (name, lines))

    # Restored: RecB is back with its keys.
    os.unlink(os.path.join(p.inst, 'pipe.so'))
    with open(p.rec_b, 'wb') as f:
        f.write(whole)
    p.seen_dialogs = []
    p.start()
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    wait_for(lambda: p.app.findChild(GenericPredicate(name='RecB', roleName='page tab'),
                                     retry=False, requireResult=False), 'the RecB page')
    wait_for(lambda: keys[1] in (read(p.auto_file()) or ''), 'RecB keys saved by RecB')
    check(p.quit() == 0, 'exit code')


@case
def close_button_like_quit(p):
    # The plug-ins we ship, loaded from a session file; the bus viewer is
    # the automatic one.
    stage = os.environ['NB_STAGE_DIR']
    shutil.copy2(os.path.join(stage, 'busview.so'), p.auto_plugin)
    others = [os.path.join(p.inst, n + '.so') for n in ('logger', 'signals', 'sender', 'player')]
    for path in others:
        shutil.copy2(os.path.join(stage, os.path.basename(path)), path)
    s = p.write('all.nbs', '[Nimbrel]\nChan=0\n' + ''.join('LoadPlugin=%s\n' % o for o in others))
    title = 'ch 0 - Nimbrel, ver. 3.15'
    errors = os.path.join(p.root, 'stderr.txt')
    for how in ('Quit', 'close button'):
        with open(errors, 'w') as err:
            p.start(s, stderr=err)
        p.frame(title)
        wait_for(lambda: len(p.app.findChildren(GenericPredicate(roleName='page tab'))) == 5,
                 'the five pages')
        # The board is named though the channel came from a session file.
        cells = p.cells()
        check('ZELK simulated CAN' in cells and 'ZELK simulation' in cells,
              'board name and maker: %r' % cells)
        if how == 'Quit':
            rc = p.quit()
        else:
            close_button(p.proc.pid, title)
            rc = p.proc.wait(timeout=30)
        check(rc == 0, '%s: exit code %s' % (how, rc))
        bad = [l for l in read(errors).splitlines()
               if 'CRITICAL' in l or 'WARNING' in l or 'runtime error' in l or 'Sanitizer' in l]
        check(not bad, '%s: %r' % (how, bad))


def _tabs(p):
    """Page tab names left to right, and the one shown."""
    tabs = p.app.findChildren(GenericPredicate(roleName='page tab'))
    tabs.sort(key=lambda t: t.position[0])
    shown = [t.name for t in tabs if t.selected]
    return [t.name for t in tabs], shown[0] if shown else None


def _xdo(*args):
    subprocess.run(['xdotool'] + [str(a) for a in args], check=True, timeout=10)


@case
def window_restored(p):
    s = p.write('three.nbs', '[Nimbrel]\nChan=0\nLoadPlugin=%s\nLoadPlugin=%s\n'
                % (p.rec_b, p.rec_c))
    title = 'ch 0 - Nimbrel, ver. 3.15'
    p.start(s)
    win = p.frame(title)
    wait_for(lambda: _tabs(p)[0] == ['RecA', 'RecB', 'Rec <C> & Co'], 'three tabs')
    wid = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(p.proc.pid),
                          '--name', '^%s$' % title], capture_output=True, text=True,
                         timeout=10).stdout.split()[0]
    # Size and place as a window manager sets them, the last tab dragged
    # to the front, the middle one shown.
    _xdo('windowsize', wid, 1100, 820)
    _xdo('windowmove', wid, 30, 40)
    def click_tab(name):
        t = [t for t in p.app.findChildren(GenericPredicate(roleName='page tab'))
             if t.name == name][0]
        _xdo('mousemove', t.position[0] + t.size[0] // 2, t.position[1] + t.size[1] // 2,
             'click', 1)
        wait_for(lambda: _tabs(p)[1] == name, name + ' shown')
    click_tab('Rec <C> & Co')
    _xdo('key', 'alt+Home')   # the notebook's key: the shown tab to the front
    wait_for(lambda: _tabs(p)[0] == ['Rec <C> & Co', 'RecA', 'RecB'], 'the tab moved first')
    click_tab('RecB')

    # Written once it has settled, without a settings change.
    want = ('\nHsize=1100\nVsize=820\n', '\nXpos=30\nYpos=40\n',
            '\nLoadPlugin=%s\nLoadPlugin=%s\nLoadPlugin=%s\nPage=%s\n'
            % (p.rec_c, p.auto_plugin, p.rec_b, p.rec_b))
    wait_for(lambda: all(w in (read(p.auto_file()) or '') for w in want),
             'the window state in the automatic file: %r' % (want,))
    check(p.quit() == 0, 'exit code')

    p.seen_dialogs = []
    p.start()
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    win = p.frame(title)
    wait_for(lambda: tuple(win.size) == (1100, 820) and tuple(win.position) == (30, 40),
             'size and place back (%r %r)' % (win.size, win.position))
    wait_for(lambda: _tabs(p) == (['Rec <C> & Co', 'RecA', 'RecB'], 'RecB'),
             'tab order and page back (%r)' % (_tabs(p),))
    check(p.quit() == 0, 'exit code')

    # A window larger than the screen (1280x1024) is made to fit it.
    p.seen_dialogs = []
    big = p.write('big.nbs', '[Nimbrel]\nHsize=3000\nVsize=2500\nXpos=900\nYpos=900\n')
    p.start(big)
    win = p.frame(title)
    wait_for(lambda: win.size[0] <= 1280 and win.size[1] <= 1024 and win.position[0] >= 0 and
             win.position[0] + win.size[0] <= 1280 and win.position[1] + win.size[1] <= 1024,
             'the window within the screen (%r %r)' % (win.size, win.position))
    check(p.quit() == 0, 'exit code')


@case
def signals_panes_kept(p):
    # The Signals page's dividers, moved by the user, come back after a
    # restart. Split panes in tree order: the host's, then the page's plot
    # and table dividers.
    stage = os.environ['NB_STAGE_DIR']
    sig = os.path.join(p.inst, 'signals.so')
    shutil.copy2(os.path.join(stage, 'signals.so'), sig)
    s = p.write('sig.nbs', '[Nimbrel]\nChan=0\nLoadPlugin=%s\n' % sig)

    def panes():
        return wait_for(lambda: [n for n in p.app.findChildren(
            GenericPredicate(roleName='split pane'))][1:] or None, 'the Signals dividers')
    p.start(s)
    p.frame()
    plot, table = panes()
    plot.value, table.value = 200, 500
    # Written once they settle, without a settings change.
    wait_for(lambda: '\nTablePane=500\nPlotPane=200\n' in (read(p.auto_file()) or ''),
             'the dividers in the automatic file')
    check(p.quit() == 0, 'exit code')

    p.seen_dialogs = []
    p.start()
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    plot, table = panes()
    wait_for(lambda: (plot.value, table.value) == (200, 500),
             'the dividers back (%r %r)' % (plot.value, table.value))
    check(p.quit() == 0, 'exit code')


@case
def other_adapter(p):
    auto = p.auto_file()
    board = '\nBoard=ZELK simulated CAN\nMaker=ZELK simulation\nSerial=SIM-0\n'
    # A file from before adapters were recorded is taken as it stands,
    # and the adapter goes into the file.
    with open(auto, 'w') as f:
        f.write('\n[Nimbrel]\nBaud=250\n')
    p.start()
    p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
    wait_for(lambda: board in (read(auto) or '') and '\nBaud=250\n' in read(auto),
             'the adapter and the old rate in the automatic file')
    check(p.quit() == 0, 'exit code')

    # Settings made for another adapter wait for the user's word.
    other = '\n[Nimbrel]\nBoard=Bench <adapter>\nMaker=ZELK simulation\nSerial=\nBaud=250\n'
    for answer, rate in (('Use the defaults', '500'), ('Detect the bit rate (listen only)', '500'),
                         ('Use the session\'s settings', '250')):
        with open(auto, 'w') as f:
            f.write(other)
        before = inode(auto)
        p.seen_dialogs = []
        p.start()
        p.button(p.dialog('the channel chooser'), 'OK').doActionNamed('click')
        q = p.dialog('the question about the adapter')
        text = ' '.join(p.labels(q))
        check('board: "Bench <adapter>" in the session, "ZELK simulated CAN" now' in text and
              'serial number: "none" in the session, "SIM-0" now' in text and
              'manufacturer' not in text and 'bit rate is 250 ' in text, 'question: %r' % text)
        check(inode(auto) == before, 'automatic file written before the answer')
        p.button(q, answer).doActionNamed('click')
        if answer.startswith('Detect'):
            d = p.dialog('the autobaud dialog', 'Autobaud')
            wait_for(lambda: d.findChild(GenericPredicate(name='No distorb (LOM)',
                                                          roleName='combo box'),
                                         retry=False, requireResult=False),
                     'listen-only mode chosen')
            p.button(d, 'Try ...').doActionNamed('click')
            wait_for(lambda: any('baud autodetected!' in l for l in p.labels(d)),
                     'the detection', timeout=60)
            p.button(d, 'Close').doActionNamed('click')
        wait_for(lambda: board in (read(auto) or '') and '\nBaud=%s\n' % rate in read(auto),
                 '%s: Baud=%s for this adapter (%r)' % (answer, rate, read(auto)))
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
    neighbour = Neighbour()
    try:
        if os.environ.get('SES_BUSY_BESIDE') == '1':
            neighbour.hold((0, 1))
        CASES[sys.argv[1]](p)
        complaints = p.complaints()
        check(not complaints, 'the program printed:\n' + '\n'.join(complaints))
        print('PASS', sys.argv[1])
        return 0
    except Exception as e:
        print('FAIL', sys.argv[1] + ':', type(e).__name__, e)
        if not isinstance(e, Failure):
            import traceback
            traceback.print_exc()
        return 1
    finally:
        p.stop()
        neighbour.leave()


if __name__ == '__main__':
    sys.exit(main())
