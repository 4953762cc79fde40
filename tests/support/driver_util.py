"""What the drivers that run the real program from outside share: their
report lines, waiting with a deadline, dogtail set up for speed, and the
frames of a candump log."""
import json
import os
import time


def report(key, value):
    """One "NBT <key> <json value>" line for nbtest::run_driver."""
    print("NBT %s %s" % (key, json.dumps(value)), flush=True)


def wait_for(what, find, timeout=60.0):
    """Polls find() until it returns something, with a deadline."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            found = find()
        except Exception:  # the tree changes while windows come and go
            found = None
        if found:
            return found
        time.sleep(0.1)
    raise RuntimeError("timed out waiting for " + what)


def dogtail_tree():
    """dogtail's tree, quiet and quick; the programs started afterwards
    register with the accessibility bus (they inherit GTK_MODULES)."""
    os.environ["GTK_MODULES"] = "gail:atk-bridge"
    from dogtail import config
    config.logDebugToStdOut = False
    config.logDebugToFile = False
    config.actionDelay = 0.05
    config.searchBackoffDuration = 0.1
    config.searchCutoffCount = 5
    config.defaultDelay = 0.1
    from dogtail import tree
    return tree


def candump_frames(path):
    """The ID#DATA fields of a candump log, remote lengths cut."""
    out = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[0].startswith('('):
                fr = parts[2]
                out.append(fr[:fr.index('#R') + 2] if '#R' in fr else fr)
    return out
