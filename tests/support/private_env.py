"""Private folders for a program that a test driver starts.

Every program a driver starts gets its own HOME, data, config, cache,
runtime (channel locks) and desktop folders below a fresh temporary root,
so a test never meets the user's files, sessions or channel locks, nor
those of another test: the suite runs beside a Nimbrel the user has open.
"""
import os
import shutil
import tempfile


class PrivateFolders:
    def __init__(self, prefix='nbdriver-'):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.home = os.path.join(self.root, 'home')
        self.data = os.path.join(self.root, 'data')
        self.config = os.path.join(self.root, 'config')
        self.cache = os.path.join(self.root, 'cache')
        self.runtime = os.path.join(self.root, 'runtime')
        self.desktop = os.path.join(self.home, 'Desktop')
        for d in (self.home, self.data, self.config, self.cache, self.desktop):
            os.makedirs(d, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700)

    def env(self, base=None, **extra):
        """base (default: this process's environment) with the private
        folders in place, no board list of the user's, and extra on top."""
        env = dict(os.environ if base is None else base)
        env.update(HOME=self.home, XDG_DATA_HOME=self.data, XDG_CONFIG_HOME=self.config,
                   XDG_CACHE_HOME=self.cache, XDG_RUNTIME_DIR=self.runtime,
                   ZELK_LOCK_DIR=os.path.join(self.runtime, 'zelk'))
        env.pop('ZELK_BOARDS', None)
        env.update(extra)
        return env

    def auto_file(self, chan=0):
        folder = os.path.join(self.data, 'nimbrel')
        os.makedirs(folder, mode=0o700, exist_ok=True)
        return os.path.join(folder, '.nbauto-ch%d.nbs' % chan)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)
