#!/usr/bin/python3
"""The signals plug-in in the real program on a saturated simulated bus,
driven from outside through accessibility (dogtail).

The program starts with a session that loads signals.so with the database
of the simulated bus (dbc/sim.dbc) and 16 plotted signals of its one
message; the controller is started with the Start button, the Signals page
shown, and after SECONDS (default 3) of traffic the program quits through
File > Quit. What is checked is what the plug-ins report at release
(SIGNALS_STATS, BUSVIEW_STATS): every frame the bus viewer received was
decoded, none was unknown, and every plot has a point for every frame.

With SIGNALS_SHOT set, a screenshot of the main window is written there.
Exit 0 pass, 1 fail, 77 skipped.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time


def skip(why):
    print('SKIP:', why)
    sys.exit(77)


def wait_for(cond, what, timeout=30.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            v = cond()
        except Exception:  # the accessible tree changes under us
            v = None
        if v:
            return v
        time.sleep(0.05)
    raise RuntimeError('timed out waiting for ' + what)


SIGNALS = ['Counter', 'CounterLow', 'CounterHigh', 'Byte2', 'Byte3', 'Byte4', 'Byte5', 'Byte6',
           'Byte7', 'Word23', 'Word45', 'Voltage', 'Phase', 'Parity', 'Speed', 'Temperature']


def main():
    stage = os.environ.get('NB_STAGE_DIR', '')
    here = os.path.dirname(os.path.abspath(__file__))
    exe = os.path.join(stage, 'nimbrel')
    if not os.path.exists(exe) or not os.path.exists(os.path.join(stage, 'signals.so')):
        skip('the program or the plug-in is not built')
    if not os.environ.get('DISPLAY') or not os.environ.get('DBUS_SESSION_BUS_ADDRESS'):
        skip('no display or session bus')
    # dogtail insists on this module list, and the program inherits it.
    os.environ['GTK_MODULES'] = 'gail:atk-bridge'
    try:
        from dogtail import config
    except ImportError:
        skip('dogtail is not installed (scripts/install-deps.sh)')
    config.logDebugToStdOut = False
    config.logDebugToFile = False
    config.searchCutoffCount = 5
    config.defaultDelay = 0.1
    from dogtail import tree
    from dogtail.predicate import GenericPredicate

    seconds = float(os.environ.get('SECONDS_OF_TRAFFIC', '3'))
    root = tempfile.mkdtemp(prefix='nbsignals-')
    stats = os.path.join(root, 'signals.stats')
    bv_stats = os.path.join(root, 'busview.stats')
    plugin = os.path.join(stage, 'signals.so')
    lines = ['[Nimbrel]', 'Chan=0', 'Baud=1000', 'Hsize=1100', 'Vsize=760', 'LoadPlugin=' + plugin,
             '', '[Plugin]', 'Path=' + plugin, 'Database1=' + os.path.join(here, 'dbc', 'sim.dbc')]
    lines += ['Plot%d=std 555 %s' % (i + 1, s) for i, s in enumerate(SIGNALS)]
    lines += ['PlotMode=lanes', 'Span=0.2', '']
    session = os.path.join(root, 'signals.nbs')
    with open(session, 'w') as f:
        f.write('\n'.join(lines))
    # Folders of its own, the adapter's channel locks included, so that a
    # Nimbrel running beside the test does not meet it.
    env = dict(os.environ, HOME=os.path.join(root, 'home'), XDG_DATA_HOME=os.path.join(root, 'data'),
               XDG_CONFIG_HOME=os.path.join(root, 'config'), XDG_RUNTIME_DIR=os.path.join(root, 'run'),
               ZELK_LOCK_DIR=os.path.join(root, 'run', 'zelk'),
               GTK_MODULES='gail:atk-bridge',
               ASAN_OPTIONS='detect_leaks=0', ZELK_BOARDS='sim:rate=1000,traffic=full,len=8',
               SIGNALS_STATS=stats, BUSVIEW_STATS=bv_stats)
    os.makedirs(env['HOME'])
    os.makedirs(env['XDG_RUNTIME_DIR'], mode=0o700)
    proc = subprocess.Popen([exe, session], env=env)
    try:
        def find_app():
            for a in tree.root.children:
                if a.name == 'nimbrel' and a.get_process_id() == proc.pid:
                    return a
            if proc.poll() is not None:
                raise RuntimeError('the program ended early with %s' % proc.poll())
            return None
        app = wait_for(find_app, 'the program on the accessibility bus')
        wait_for(lambda: any(c.roleName == 'frame' for c in app.children), 'the main window')

        def child(name, role):
            return app.findChild(GenericPredicate(name=name, roleName=role), retry=False,
                                 requireResult=False)
        # The bus view's trace would tell the accessibility bus of every
        # line: paused, it only counts the frames.
        wait_for(lambda: child('Pause', 'toggle button'), 'Pause').doActionNamed('click')
        wait_for(lambda: child('Signals', 'page tab'), 'the Signals page').select()
        wait_for(lambda: child('Start', 'toggle button'), 'Start').doActionNamed('click')
        wait_for(lambda: child('Stop', 'toggle button'), 'the controller to run')
        time.sleep(seconds)   # traffic for the time asked for, not a synchronisation
        shot = os.environ.get('SIGNALS_SHOT')
        if shot:
            # The decoded values of the plotted message in the picture too.
            wait_for(lambda: child('555  Full', 'table cell'), 'the row of 555') \
                .doActionNamed('activate')
            time.sleep(1)   # for the next refresh of the table
            out = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(proc.pid),
                                  '--name', '^ch [0-9]+ - '], capture_output=True, text=True)
            wid = out.stdout.split()[0]
            subprocess.run(['import', '-window', wid, shot], check=True, timeout=30)
        menu = wait_for(lambda: child('File', 'menu'), 'the File menu')
        menu.doActionNamed('click')
        wait_for(lambda: child('Quit', 'menu item'), 'Quit').doActionNamed('click')
        rc = proc.wait(timeout=60)
    except Exception as e:
        print('FAIL:', e)
        proc.kill()
        proc.wait()
        return 1

    failures = []
    if rc != 0:
        failures.append('exit code %s' % rc)
    text = open(stats).read() if os.path.exists(stats) else ''
    bv = open(bv_stats).read() if os.path.exists(bv_stats) else ''
    print(text + bv)
    fields = dict(re.findall(r'(\w+)=(\S+)', text.splitlines()[0])) if text else {}
    received = re.search(r'received=(\d+)', bv)
    decoded = int(fields.get('decoded', '0'))
    if decoded < 1000:
        failures.append('only %d frames decoded' % decoded)
    if received and int(received.group(1)) != decoded:
        failures.append('bus view received %s, signals decoded %d' % (received.group(1), decoded))
    if fields.get('unknown') != '0':
        failures.append('unknown frames: %s' % fields.get('unknown'))
    if fields.get('plots') != '16':
        failures.append('plots: %s' % fields.get('plots'))
    plots = re.findall(r'plot Full\.(\w+) points=(\d+) last=(\S+)', text)
    if sorted(p[0] for p in plots) != sorted(SIGNALS):
        failures.append('plotted: %s' % [p[0] for p in plots])
    for name, points, _ in plots:
        if int(points) != decoded:
            failures.append('%s has %s points for %d frames' % (name, points, decoded))
    shutil.rmtree(root, ignore_errors=True)
    for f in failures:
        print('FAIL:', f)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
