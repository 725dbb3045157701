#!/usr/bin/env python3
"""Drives the real installer: addon_setup -silent <package> installs packages made by Info-ZIP zip
and Python's zipfile into a client installation, and refuses broken ones without writing anything.

    e2e_silent.py <addon_setup binary>
"""
import configparser
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BINARY = None
MKZIP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mkzip.py")


def snapshot(root):
    """Every path below root with its content (files) or link target, so any change shows."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                found[rel] = "link:" + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    content = f.read()
                found[rel] = content if len(content) < 65536 else hashlib.sha1(content).hexdigest()
            else:
                found[rel] = "dir"
    return found


class SilentInstall(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="silent-", dir=os.environ.get("TMPDIR"))
        self.client = os.path.join(self.base, "client")
        self.home = os.path.join(self.base, "home")
        self.tmp = os.path.join(self.base, "tmp")
        self.src = os.path.join(self.base, "src")
        self.runtime = os.path.join(self.base, "run")
        for folder in (self.client, self.home, self.tmp, self.src, self.runtime):
            os.makedirs(folder, mode=0o700)
        # The installer installs into its own folder: give it a client installation to live in.
        shutil.copy2(BINARY, os.path.join(self.client, "addon_setup"))
        with open(os.path.join(self.client, "vxmclient_linux_amd64"), "w") as f:
            f.write("client")

    def tearDown(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def start_installer(self, *args):
        env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp, XDG_RUNTIME_DIR=self.runtime)
        # A sanitizer build keeps its list of suppressed leaks off standard error, which is checked.
        if "LSAN_OPTIONS" in env:
            env["LSAN_OPTIONS"] += ":print_suppressions=0"
        return subprocess.Popen([os.path.join(self.client, "addon_setup"), *args], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run_installer(self, *args):
        run = self.start_installer(*args)
        self.stderr = run.communicate(timeout=120)[1].decode(errors="replace")
        return run.returncode

    def write_tree(self, files):
        for rel, content in files.items():
            path = os.path.join(self.src, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)

    def zip_src(self, name, *options):
        archive = os.path.join(self.base, name)
        subprocess.run(["zip", "-q", "-r", "-X", *options, archive, "."], cwd=self.src, check=True)
        return archive

    def craft(self, name, entries):
        archive = os.path.join(self.base, name)
        subprocess.run([sys.executable, MKZIP, archive, json.dumps(entries)], check=True)
        return archive

    def ini(self, name):
        parser = configparser.ConfigParser()
        parser.optionxform = str
        parser.read(os.path.join(self.home, ".vxmclient", name))
        return parser

    def sha1sum(self, path):
        return subprocess.run(["sha1sum", path], capture_output=True, check=True, text=True).stdout.split()[0]

    SAMPLE = {
        "package.ini": b"name=Sample\nplatforms=linux_amd64\n",
        "readme.txt": b"not installed",
        "styles/night.qss": b"QWidget { background: black; }",
        "styles/night_mac.qss": b"mac",
        "plugins/greeter_linux_amd64.so": b"\x7fELF" + bytes(range(256)) * 40,
        "translations/pelica_de.qm": b"qm",
        "gfx/flags/de.png": b"png",
        "sound/calm/ding.wav": b"wav",
        "extra/ignored.txt": b"x",
    }

    def test_zip_made_packages_install_and_are_recorded(self):
        self.write_tree(self.SAMPLE)
        for options in ((), ("-D",)):
            with self.subTest(options=options):
                shutil.rmtree(self.home)
                os.makedirs(self.home)
                package = self.zip_src("Night.Sky.zip", *options)
                self.assertEqual(self.run_installer("-silent", package), 0)
                installed = snapshot(self.client)
                for rel in ("styles/night.qss", "styles/night_mac.qss", "plugins/greeter_linux_amd64.so",
                            "translations/pelica_de.qm", "gfx/flags/de.png", "sound/calm/ding.wav"):
                    self.assertEqual(installed[rel], self.SAMPLE[rel], rel)
                for rel in ("package.ini", "readme.txt", "extra"):
                    self.assertNotIn(rel, installed)
                self.assertEqual(self.ini("addons.ini")["Night"]["Checksum"], self.sha1sum(package))
                self.assertEqual(dict(self.ini("addon_setup_temp.ini")["General"]),
                                 {"styles": "night", "plugins": "greeter", "translations": "de_DE",
                                  "gfx": "flags", "sound": "calm"})
                # The extracted folder is gone, and the folder that held it is private.
                self.assertEqual(os.listdir(os.path.join(self.tmp, "vxmimport")), [])
                self.assertEqual(os.stat(os.path.join(self.tmp, "vxmimport")).st_mode & 0o777, 0o700)

    def test_split_path_prefix_and_links(self):
        self.write_tree({"styles/a b.qss": b"spaced"})
        package = self.zip_src("My Skin.zip")
        # A path the shell split at its blank, given with the file:// prefix.
        self.assertEqual(self.run_installer("-silent", "file://" + os.path.join(self.base, "My"), "Skin.zip"), 0)
        self.assertEqual(snapshot(self.client)["styles/a b.qss"], b"spaced")
        # The section is the base name, in the settings file's own escaping.
        self.assertEqual(self.ini("addons.ini")["My%20Skin"]["Checksum"], self.sha1sum(package))

        linked = self.craft("Linked.zip", [{"name": "styles/", "dir": True},
                                           {"name": "styles/real.qss", "data": "real"},
                                           {"name": "styles/passwd.qss", "symlink": "/etc/passwd"}])
        self.assertEqual(self.run_installer("-silent", linked), 0)
        self.assertEqual(snapshot(self.client)["styles/real.qss"], b"real")
        self.assertFalse(os.path.lexists(os.path.join(self.client, "styles/passwd.qss")))

    def test_broken_packages_change_nothing(self):
        data = "payload " * 500
        cases = {
            "inner dots": [{"name": "plugins/", "dir": True},
                           {"name": "plugins/../../../../escaped.so", "data": data}],
            "absolute": [{"name": "plugins/", "dir": True}, {"name": self.base + "/escaped.so", "data": data}],
            "bzip2": [{"name": "plugins/", "dir": True},
                      {"name": "plugins/tool.so", "data": data, "method": "bzip2"}],
            "wrong crc": [{"name": "plugins/", "dir": True}, {"name": "plugins/tool.so", "data": data, "crc": 7}],
            "size lies": [{"name": "plugins/", "dir": True},
                          {"name": "plugins/tool.so", "data": data, "size": 100}],
            "compressed size lies": [{"name": "plugins/", "dir": True},
                                     {"name": "plugins/tool.so", "data": data, "csize": 1 << 30}],
            "longer than declared": [{"name": "plugins/", "dir": True},
                                     {"name": "plugins/a.so", "data": "fine"},
                                     {"name": "plugins/tool.so", "data": data, "size": 1000}],
            "shared data": [{"name": "plugins/", "dir": True}, {"name": "plugins/a.so", "data": data}]
            + [{"name": "plugins/%02d.so" % i, "data": "x", "share": "plugins/a.so"} for i in range(20)],
            "name not UTF-8": [{"name": "plugins/", "dir": True},
                               {"name": "plugins/?.so", "data": data, "rawname": b"plugins/\xff.so".hex()}],
            "garbage": {"garbage": "no zip here " * 20},
        }
        for what, entries in cases.items():
            with self.subTest(what):
                package = self.craft("Broken.zip", entries)
                before = snapshot(self.base)
                self.assertEqual(self.run_installer("-silent", package), 1)
                # One line on the terminal says why.
                self.assertRegex(self.stderr, r"\AFailed to extract Add-On: [^\n]+\n\Z")
                after = snapshot(self.base)
                for made in ("tmp/vxmimport", "home/.vxmclient", "home/.vxmclient/addon_setup.lock"):
                    before.pop(made, None)
                    after.pop(made, None)
                self.assertEqual(after, before)
                self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.base), "escaped.so")))

    def test_command_line_and_client_checks(self):
        self.assertEqual(self.run_installer(), 1)
        self.assertEqual(self.run_installer("-silent"), 1)
        self.write_tree({"styles/a.qss": b"a"})
        package = self.zip_src("A.zip")
        # Forced without an earlier whole extraction: the package is extracted afresh.
        partial = os.path.join(self.tmp, "vxmimport", ".partial-cutshort")
        os.makedirs(os.path.join(partial, "styles"))
        with open(os.path.join(partial, "styles", "a.qss"), "wb") as f:
            f.write(b"cut")
        self.assertEqual(self.run_installer("-silent", package, "force"), 0)
        self.assertEqual(snapshot(self.client)["styles/a.qss"], b"a")
        shutil.rmtree(os.path.join(self.client, "styles"))
        os.remove(os.path.join(self.home, ".vxmclient", "addons.ini"))
        # A configuration folder that cannot be made is named with the reason.
        home, self.home = self.home, os.path.join(self.base, "A.zip")
        self.assertEqual(self.run_installer("-silent", package), 1)
        self.assertTrue(self.stderr.startswith("Cannot lock %s/.vxmclient/addon_setup.lock: the folder %s/.vxmclient/ "
                                               "cannot be created: " % (self.home, self.home)), self.stderr)
        self.home = home
        # Run with another user's HOME (by root, with a user's environment): nothing there is used.
        if os.geteuid() == 0:
            os.makedirs(os.path.join(self.home, ".vxmclient"), exist_ok=True)
            os.chown(os.path.join(self.home, ".vxmclient"), 54321, 54321)
            self.assertEqual(self.run_installer("-silent", package), 1)
            self.assertIn(".vxmclient/ belongs to another user", self.stderr)
            os.chown(os.path.join(self.home, ".vxmclient"), 0, 0)
        os.remove(os.path.join(self.client, "vxmclient_linux_amd64"))
        self.assertEqual(self.run_installer("-silent", package), 1)
        self.assertEqual(self.stderr, "Failed to install Add-On. No Voxmere 3 Client installation directory found.\n")
        self.assertFalse(os.path.exists(os.path.join(self.client, "styles")))
        self.assertFalse(os.path.exists(os.path.join(self.home, ".vxmclient", "addons.ini")))

    def test_two_runs_of_same_named_packages_end_as_one_of_them(self):
        # Skin.v1.zip and Skin.v2.zip share their base name: their extraction folder and their entry.
        def content(version, i):
            return b"v%d %03d " % (version, i) * 50000
        packages = {}
        for version in (1, 2):
            shutil.rmtree(self.src)
            self.write_tree({"sound/set/%03d.wav" % i: content(version, i) for i in range(30)})
            packages[version] = self.zip_src("Skin.v%d.zip" % version)
        runs = [self.start_installer("-silent", packages[version]) for version in (1, 2)]
        self.assertEqual([run.wait(timeout=120) for run in runs], [0, 0])
        folder = os.path.join(self.client, "sound", "set")
        version = int(open(os.path.join(folder, "000.wav"), "rb").read(2)[1:])
        self.assertEqual(sorted(os.listdir(folder)), ["%03d.wav" % i for i in range(30)])
        for i in range(30):
            with open(os.path.join(folder, "%03d.wav" % i), "rb") as f:
                self.assertEqual(f.read(), content(version, i), i)
        self.assertEqual(self.ini("addons.ini")["Skin"]["Checksum"], self.sha1sum(packages[version]))


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
