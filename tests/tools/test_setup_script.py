#!/usr/bin/env python3
"""scripts/setup.sh as the build and release commands run it, with the machine's package and service commands
replaced by stand-ins on PATH that record how they were called: it installs what is missing under a policy that
keeps the packages' services from starting, and it never stops, disables or signals a service of the machine."""
import os
import pathlib
import stat
import subprocess
import tempfile
import unittest

SETUP = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "setup.sh"
POLICY = pathlib.Path("/usr/sbin/policy-rc.d")
# Every command through which a script could stop, disable or signal a service.
SERVICE_COMMANDS = ("systemctl", "service", "update-rc.d", "invoke-rc.d", "deb-systemd-invoke", "nginx", "pkill",
                    "killall", "start-stop-daemon")

STAND_IN = """#!/bin/sh
printf '%s' "$(basename "$0")" >>"{log}"
for argument in "$@"; do printf ' %s' "$argument" >>"{log}"; done
echo >>"{log}"
{body}
exit 0
"""
# dpkg-query reports every package installed but those MISSING lists.
DPKG_QUERY = """for p in $MISSING; do for a in "$@"; do [ "$p" = "$a" ] && exit 1; done; done
printf 'install ok installed'"""
# apt-get notes whether the policy that keeps services from starting is in force while it installs.
APT_GET = """if [ -x {policy} ] && ! {policy} nginx start; then echo "policy: services held" >>"{log}"; fi"""


class SetupScriptTest(unittest.TestCase):
    def run_setup(self, missing=""):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="vorn-setup-test-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(folder)], check=False)
        log = folder / "calls.log"
        log.touch()
        bin_dir = folder / "bin"
        bin_dir.mkdir()
        bodies = {"dpkg-query": DPKG_QUERY, "apt-get": APT_GET.format(policy=POLICY, log=log),
                  "update-alternatives": ""}
        for name in SERVICE_COMMANDS + tuple(bodies):
            path = bin_dir / name
            path.write_text(STAND_IN.format(log=log, body=bodies.get(name, "")))
            path.chmod(path.stat().st_mode | stat.S_IXUSR)
        environment = dict(os.environ, PATH="%s:%s" % (bin_dir, os.environ["PATH"]), MISSING=missing)
        result = subprocess.run(["bash", str(SETUP)], env=environment, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr.decode("utf-8", "replace"))
        return log.read_text().splitlines()

    def assert_no_service_touched(self, calls):
        touched = [c for c in calls if c.split(" ", 1)[0] in SERVICE_COMMANDS]
        self.assertEqual(touched, [], "setup.sh touched the machine's services")

    def test_a_machine_with_everything_installed_keeps_its_services(self):
        calls = self.run_setup()
        self.assert_no_service_touched(calls)
        self.assertFalse([c for c in calls if c.startswith("apt-get")], "apt-get ran with nothing missing")

    @unittest.skipUnless(os.geteuid() == 0, "installing needs root, as setup.sh says")
    def test_missing_packages_install_with_services_held_and_nothing_stopped(self):
        had_policy = POLICY.exists()
        calls = self.run_setup(missing="nginx rsync")
        self.assert_no_service_touched(calls)
        installs = [c for c in calls if c.startswith("apt-get") and " install " in c]
        self.assertEqual(len(installs), 1, calls)
        self.assertTrue(installs[0].endswith(" nginx rsync"), installs[0])
        self.assertIn("policy: services held", calls)
        self.assertEqual(POLICY.exists(), had_policy, "the install policy was not put back as it was")


if __name__ == "__main__":
    unittest.main()
