#!/usr/bin/python3
"""Makes the user guide's pictures (doc/guide/images/*.png) from the real
program: the staged build's nimbrel on the simulated board, driven through
accessibility (dogtail) on a private display, each window taken with
ImageMagick's import.

    bash scripts/with-xvfb.sh /usr/bin/python3 scripts/guide-screenshots.py [BUILD_DIR] [--only sender-dbc]

BUILD_DIR defaults to build; run it after changing what a pictured window
shows, and commit the pictures with the change. --only sender-dbc takes
just the sender's database picture, --only channels those of two
channels in one window (the bus view and the player), --only gateway the
gateway's.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
OUT = os.path.join(SOURCE, 'doc', 'guide', 'images')
# The main window's size and its left pane's width in the pictures: wide
# enough for the channel information's longest lines and a CAN FD frame's
# first groups of bytes.
WINDOW = 'Hsize=1200\nVsize=700\nLeftPaneSize=300\n'


def wait_for(what, find, timeout=30.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            found = find()
        except Exception:   # the accessibility tree changes under us
            found = None
        if found:
            return found
        time.sleep(0.05)
    raise RuntimeError('timed out waiting for ' + what)


# The sender's database picture: a small bench database, a message from it
# with values, counter and checksum, as a session brings them.
BENCH_DBC = """VERSION ""
BU_: ECU Tester
BO_ 291 Engine: 8 ECU
 SG_ VehicleSpeed : 0|16@1+ (0.01,0) [0|250] "km/h" Tester
 SG_ Gear : 16|4@1+ (1,0) [0|8] "" Tester
 SG_ CoolantTemp : 31|8@0- (1,40) [-40|150] "degC" Tester
 SG_ Engine_Counter : 52|4@1+ (1,0) [0|15] "" Tester
 SG_ Engine_CRC : 63|8@0+ (1,0) [0|255] "" Tester
BO_ 292 Brake: 4 ECU
 SG_ BrakePressure : 0|12@1+ (0.1,0) [0|400] "bar" Tester
 SG_ Brake_AliveCounter : 12|4@1+ (1,0) [0|14] "" Tester
 SG_ Brake_Checksum : 16|8@1+ (1,0) [0|255] "" Tester
VAL_ 291 Gear 0 "Neutral" 1 "First" 2 "Second" 3 "Third" 4 "Fourth" 5 "Fifth" 6 "Sixth" ;
"""


def sender_dbc(exe, build, env, root, running, app_of, window, find, shoot):
    from dogtail.predicate import GenericPredicate
    dbc = os.path.join(root, 'bench.dbc')
    with open(dbc, 'w') as f:
        f.write(BENCH_DBC)
    sender = os.path.join(build, 'stage', 'sender.so')
    session = os.path.join(root, 'sender-dbc.nbs')
    with open(session, 'w') as f:
        f.write('[Nimbrel]\nChan=0\nBaud=500\n%sLoadPlugin=%s\n\n[Plugin]\nPath=%s\n'
                % (WINDOW, sender, sender) +
                'Database=%s\n' % dbc +
                'Message=123,0,0,8,2E22068000000000,10,1\n'
                'Protect=2,52,4,0,1,0,63,8,1,0,0,0,12,4,0,00000000000000000000000000000000\n'
                'DbMessage=Engine\nSignal=VehicleSpeed=87.5\nSignal=Gear=6\n'
                'Signal=CoolantTemp=92\n'
                'Message=124,0,0,4,00000000,20,1\n'
                'Protect=1,12,4,0,1,15,16,8,0,0,0,0,12,4,0,00000000000000000000000000000000\n'
                'DbMessage=Brake\nSignal=BrakePressure=12.5\n'
                'Message=7DF,0,0,8,0201000000000000,0,0\n')
    running.append(subprocess.Popen([exe, session], env=env))
    main = window('frame')
    tab = wait_for('the sender', lambda: [t for t in main.findChildren(
        GenericPredicate(roleName='page tab')) if t.name == 'Sender'][0])
    tab.click()
    table = wait_for('the list', lambda: [t for t in tab.findChildren(
        GenericPredicate(roleName='table'))
        if t.queryTable().getColumnHeader(0).name == 'Identifier (hex)'][0])
    wait_for('the database', lambda: find(tab, 'label', 'bench.dbc'))
    x, y, w, h = table.queryTable().getAccessibleAt(0, 6).queryComponent().getExtents(0)
    subprocess.run(['xdotool', 'mousemove', str(int(x + 5)), str(int(y + h / 2)), 'click', '1'],
                   check=True, timeout=10)
    find(tab, 'table cell', 'VehicleSpeed')
    find(main, 'toggle button', 'Start').doActionNamed('click')
    find(tab, 'push button', 'Start periodic').doActionNamed('click')
    time.sleep(1.5)
    shoot(main, 'sender-dbc.png')
    running[-1].terminate()
    running[-1].wait(timeout=20)


def two_channel_log(path):
    """A candump log of three interfaces: the player's channel table."""
    with open(path, 'w') as f:
        for i in range(300):
            t = 1700000000.0 + i * 0.01
            f.write('(%.6f) can0 120#%02X%02X0000\n' % (t, i & 0xFF, i >> 8))
            f.write('(%.6f) can1 18DAF110##1%s\n' % (t + 0.002, '%02X' % (i & 0xFF) * 12))
            if i % 10 == 0:
                f.write('(%.6f) can2 7E8#0241%02X\n' % (t + 0.005, i & 0xFF))


def two_channels(exe, build, env, root, running, window, find, shoot, menu):
    """Two channels in one window: the main channel on the first board and
    a CAN FD channel of a second board added through Channels > Add
    channel..., both started, the bus view showing both; then the player
    replaying a log of three interfaces onto the two channels."""
    from dogtail.predicate import GenericPredicate
    busview = os.path.join(build, 'stage', 'busview.so')
    player = os.path.join(build, 'stage', 'player.so')
    log = os.path.join(root, 'bench.log')
    two_channel_log(log)
    session = os.path.join(root, 'channels.nbs')
    with open(session, 'w') as f:
        f.write('[Nimbrel]\nChan=0\nBaud=500\n%sLoadPlugin=%s\nLoadPlugin=%s\n\n'
                '[Plugin]\nPath=%s\nFile=%s\nLoop=1\n' % (WINDOW, busview, player, player, log))
    running.append(subprocess.Popen([exe, session], env=dict(
        env, ZELK_BOARDS='0=sim:channels=1,traffic=mixed;'
        '1=sim:channels=2,rate=500,drate=2000,traffic=mixed,name=ZELK simulated CAN FD')))
    main = window('frame')
    menu('Channels', 'Add channel...')
    dlg = window('dialog', 'Add channel')
    mode = wait_for('the CAN mode choice', lambda: dlg.findChild(
        lambda n: n.roleName == 'combo box' and n.sensitive and
        any(c.name == 'CAN FD' for c in n.findChildren(lambda m: m.roleName == 'menu item')),
        retry=False))
    mode.findChild(lambda n: n.roleName == 'menu item' and n.name == 'CAN FD',
                   retry=False).doActionNamed('click')
    wait_for('CAN FD chosen', lambda: mode.name == 'CAN FD')
    find(dlg, 'push button', 'OK').doActionNamed('click')
    # Looked up before the traffic starts (a busy bus view makes the
    # accessibility tree slow to walk).
    tabs = main.findChildren(GenericPredicate(roleName='page tab'))
    tab = [t for t in tabs if t.name == 'Player'][0]
    tab.click()
    play = find(tab, 'push button', 'Play')
    [t for t in tabs if t.name == 'Bus view'][0].click()
    find(main, 'push button', 'Start all').doActionNamed('click')
    time.sleep(2.5)   # traffic for the picture
    shoot(main, 'channels.png')
    tab.click()
    play.doActionNamed('click')
    time.sleep(2)
    shoot(main, 'player-channels.png')
    running[-1].terminate()
    running[-1].wait(timeout=20)


def gateway(exe, build, env, root, running, app_of, window, find, shoot):
    """The gateway's page: rules with filters, modifications and a CRC8,
    forwarding on the simulated bus (today's one channel, sent back to it)."""
    from dogtail.predicate import GenericPredicate
    plugin = os.path.join(build, 'stage', 'gateway.so')
    session = os.path.join(root, 'gateway.nbs')
    with open(session, 'w') as f:
        f.write('[Nimbrel]\nChan=0\nBaud=500\n%sLoadPlugin=%s\n\n[Plugin]\nPath=%s\n'
                % (WINDOW, plugin, plugin) +
                'MaxHops=1\nRules=3\n'
                'Rule1=-s 0 -d 0 -i -f 7E8:7FF -m SET:I:7E9.0.0000000000000000\n'
                'Rule2=-s 0 -d 0 -i -f 100~700 -m AND:D:0.0.FFFFFFFFFFFFFF00 -c 0:6:7:FF:FF:1D -p 3\n'
                'Rule3=-s 0 -d 0 -i -X -M OR:F:0.1.0.%s\n' % ('00' * 64))
    running.append(subprocess.Popen([exe, session], env=env))
    main = window('frame')
    tab = wait_for('the gateway', lambda: [t for t in main.findChildren(
        GenericPredicate(roleName='page tab')) if t.name == 'Gateway'][0])
    tab.click()
    find(main, 'toggle button', 'Start').doActionNamed('click')
    find(tab, 'push button', 'Start').doActionNamed('click')
    time.sleep(2)
    shoot(main, 'gateway.png')
    running[-1].terminate()
    running[-1].wait(timeout=20)


def main():
    only = None
    if '--only' in sys.argv:
        only = sys.argv[sys.argv.index('--only') + 1]
        del sys.argv[sys.argv.index('--only'):sys.argv.index('--only') + 2]
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, 'build'))
    exe = os.path.join(build, 'stage', 'nimbrel')
    if not os.path.exists(exe):
        sys.exit('no program at %s: build first' % exe)
    os.environ['GTK_MODULES'] = 'gail:atk-bridge'
    from dogtail import config, tree
    from dogtail.predicate import GenericPredicate
    config.logDebugToStdOut = False
    config.logDebugToFile = False
    config.actionDelay = 0.05
    config.searchBackoffDuration = 0.1
    config.searchCutoffCount = 5

    root = tempfile.mkdtemp(prefix='nimbrel-guide-')
    env = dict(os.environ, HOME=os.path.join(root, 'home'), XDG_DATA_HOME=os.path.join(root, 'data'),
               XDG_CONFIG_HOME=os.path.join(root, 'config'),
               XDG_RUNTIME_DIR=os.path.join(root, 'runtime'), LANG='C.UTF-8',
               ZELK_LOCK_DIR=os.path.join(root, 'runtime', 'zelk'),
               ZELK_BOARDS='0=sim:channels=2,traffic=ecu;1=sim:channels=1,serial=none',
               ASAN_OPTIONS='detect_leaks=0')
    env.pop('LANGUAGE', None)
    for d in ('home', 'data', 'config', 'runtime'):
        os.makedirs(os.path.join(root, d), mode=0o700)
    # Channel 0's automatic session brings the sender with classic and CAN
    # FD messages (the channel is opened for CAN FD below).
    sender = os.path.join(build, 'stage', 'sender.so')
    fd64 = ''.join('%02X' % (i * 4 % 256) for i in range(64))
    os.makedirs(os.path.join(root, 'data', 'nimbrel'), mode=0o700)
    with open(os.path.join(root, 'data', 'nimbrel', '.nbauto-ch0.nbs'), 'w') as f:
        f.write('[Nimbrel]\n%sLoadPlugin=%s\n\n[Plugin]\nPath=%s\n' % (WINDOW, sender, sender) +
                'Message=123,0,0,8,1122334455667788,100,1\n'
                'Message=18DAF110,1,0,64,%s,0,0,FD+BRS\n' % fd64 +
                'Message=2A0,0,0,12,0102030405060708090A,20,1,FD\n'
                'QuickSend=321##5DEADBEEF\n')
    proc = subprocess.Popen([exe], env=env)
    running = [proc]

    def app():
        for a in tree.root.children:
            if a.name == 'nimbrel' and a.get_process_id() == running[-1].pid:
                return a
        return None

    def window(role, name=None):
        def find():
            for w in app().children:
                if w.roleName == role and w.showing and (name is None or w.name == name):
                    return w
            return None
        return wait_for('%s %r' % (role, name), find)

    def find(node, role, name):
        return wait_for('%s %r' % (role, name), lambda: node.findChild(
            GenericPredicate(name=name, roleName=role), retry=False, requireResult=False))

    def shoot(node, name, pointer=None):
        """Takes the screen area of node (a window) into OUT/name. Without a
        window manager every window is where it was put, on top when it
        came last. The pointer goes out of the way (no tooltip, no
        highlighted button), or to pointer for the tooltip there."""
        (x, y), (w, h) = node.position, node.size
        subprocess.run(['xdotool', 'mousemove'] + [str(int(v)) for v in pointer or (1279, 1023)],
                       check=True, timeout=10)
        time.sleep(0.8)   # let the window finish drawing; a picture, not a test
        path = os.path.join(OUT, name)
        subprocess.run(['timeout', '20', 'import', '-window', 'root', '-crop',
                        '%dx%d+%d+%d' % (w, h, x, y), '+repage', '-strip', path], check=True)
        print('made', name)

    def menu(top, item):
        find(app(), 'menu', top).doActionNamed('click')
        find(app(), 'menu item', item).doActionNamed('click')

    try:
        os.makedirs(OUT, exist_ok=True)
        if only in ('sender-dbc', 'channels', 'gateway'):
            proc.kill()
            proc.wait()
            running.pop()
            if only == 'channels':
                two_channels(exe, build, env, root, running, window, find, shoot, menu)
            elif only == 'gateway':
                gateway(exe, build, env, root, running, app, window, find, shoot)
            else:
                sender_dbc(exe, build, env, root, running, app, window, find, shoot)
            return
        wait_for('the program', app)
        chooser = window('dialog', 'Nimbrel, ver. 3.15')
        mode = wait_for('the CAN mode choice', lambda: chooser.findChild(
            lambda n: n.roleName == 'combo box' and n.sensitive and
            any(c.name == 'CAN FD' for c in n.findChildren(lambda m: m.roleName == 'menu item')),
            retry=False))
        mode.findChild(lambda n: n.roleName == 'menu item' and n.name == 'CAN FD',
                       retry=False).doActionNamed('click')
        wait_for('CAN FD chosen', lambda: mode.name == 'CAN FD')
        shoot(chooser, 'chooser.png')
        find(chooser, 'push button', 'OK').doActionNamed('click')
        main = window('frame')

        menu('HW settings', 'Bit rate')
        dlg = window('dialog', 'Set bit rate')
        shoot(dlg, 'bitrate.png')
        find(dlg, 'push button', 'Cancel').doActionNamed('click')

        menu('Plugins', 'Configure')
        dlg = window('dialog', 'Available plugins')
        shoot(dlg, 'plugins.png')
        # Load the logger and the diagnostics page (their toggles are beside
        # their names; the sender came with the session).
        toggles = dlg.findChildren(GenericPredicate(roleName='toggle button'))
        for name in ('Logger', 'Diagnostics'):
            label = find(dlg, 'label', name)
            y = label.position[1] + label.size[1] / 2
            min(toggles, key=lambda t: abs(t.position[1] + t.size[1] / 2 - y)).doActionNamed('click')
        find(dlg, 'push button', 'Close').doActionNamed('click')
        wait_for('the pages', lambda: len([t for t in main.findChildren(
            GenericPredicate(roleName='page tab'))]) >= 4)

        # Everything looked up before the traffic starts: a busy bus view
        # makes the accessibility tree slow to walk.
        tabs = main.findChildren(GenericPredicate(roleName='page tab'))
        # The diagnostics page's widgets (the other pages have a Send and a
        # Pause too), looked up while the page is in front.
        diag = [t for t in tabs if t.name == 'Diagnostics'][0]
        diag.click()
        request = wait_for('the request entry', lambda: [e for e in diag.findChildren(
            GenericPredicate(roleName='text')) if e.text == '22 F1 90'][0])
        send = find(diag, 'push button', 'Send')
        pause = find(diag, 'toggle button', 'Pause')
        table = [t for t in diag.findChildren(GenericPredicate(roleName='table'))
                 if any(c.name == 'Summary' for c in t.children)][0]
        # The logger logging and the sender sending periodically, a CAN FD
        # line typed in its quick send.
        logger = [t for t in tabs if t.name == 'Logger'][0]
        logger.click()
        start_logging = find(logger, 'push button', 'Start logging')
        sender_tab = [t for t in tabs if t.name == 'Sender'][0]
        sender_tab.click()
        start_periodic = find(sender_tab, 'push button', 'Start periodic')
        quick = find(find(sender_tab, 'push button', 'Send line').parent, 'text', None)
        find(main, 'toggle button', 'Start').doActionNamed('click')
        start_logging.doActionNamed('click')   # a file in the home folder
        start_periodic.doActionNamed('click')
        quick.text = '18DAF110##1' + fd64[:40]
        time.sleep(3)   # let traffic fill the bus view
        for tab, name in (('Sender', 'sender.png'), ('Logger', 'logger.png'),
                          ('Bus view', 'mainwin.png')):
            [t for t in tabs if t.name == tab][0].click()
            time.sleep(0.5)
            shoot(main, name)

        # The tester asks the simulated ECU (traffic=ecu) a few questions;
        # the list is paused after the last answer, whose row is selected
        # for its details (End selects the last row).
        diag.click()
        for req in ('19 02 FF', '01 0C 0D 05', '27 01', '27 02 EE DD CC BB', '22 F1 A0', '31 01 FF 00',
                    '22 F1 90'):
            request.text = req
            send.doActionNamed('click')
            time.sleep(0.5 if req != '22 F1 90' else 0.15)
        pause.doActionNamed('click')
        time.sleep(0.5)
        table.grabFocus()
        subprocess.run(['xdotool', 'key', 'End'], check=True, timeout=10)
        time.sleep(0.5)
        shoot(main, 'diagnostics.png')
        proc.terminate()
        proc.wait(timeout=20)
        # The bus viewer on a CAN FD bus: the simulated vehicle network with
        # its FD nodes, a second program on a board of its own.
        session = os.path.join(root, 'fd.nbs')
        with open(session, 'w') as f:
            f.write('[Nimbrel]\nChan=0\nFlags=BOTH\nFD=ISO\nBaud=500\nDataRate=2000\n' + WINDOW)
        running.append(subprocess.Popen([exe, session], env=dict(
            env, ZELK_BOARDS='sim:channels=2,rate=500,drate=2000,traffic=mixed')))
        main = window('frame')
        start = find(main, 'toggle button', 'Start')
        pause = find(main, 'toggle button', 'Pause')
        trace_node = [t for t in main.findChildren(GenericPredicate(roleName='table'))
                      if t.queryTable().getColumnHeader(0).name == 'Time'][0]
        trace = trace_node.queryTable()
        start.doActionNamed('click')
        time.sleep(2.5)   # traffic for the picture
        pause.doActionNamed('click')
        time.sleep(0.5)
        # The tooltip of a 64-byte frame in the upper part of the view (below
        # its header): its whole data, a group of 8 bytes to a line.
        (top, height) = trace_node.position[1] + 30, trace_node.size[1] * 2 / 3
        for r in range(trace.nRows - 1, max(trace.nRows - 60, 0), -1):
            data = trace.getAccessibleAt(r, 6)
            if trace.getAccessibleAt(r, 4).name == '64':
                x, y, w, h = data.queryComponent().getExtents(0)
                if top < y < top + height:
                    shoot(main, 'busview-fd.png', (x + 60, y + h / 2))
                    break
        else:
            raise RuntimeError('no 64-byte frame in the upper part of the trace')
        running[-1].terminate()
        running[-1].wait(timeout=20)
        sender_dbc(exe, build, env, root, running, app, window, find, shoot)
        two_channels(exe, build, env, root, running, window, find, shoot, menu)
        gateway(exe, build, env, root, running, app, window, find, shoot)
    finally:
        for p in running:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    main()
