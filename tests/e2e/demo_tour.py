#!/usr/bin/env python3
"""The headless part of scripts/demo.sh: starts the launcher of a sample client under the running Wine session,
waits for the region list and the update, picks the first region as a player would and saves screenshots of
each step into OUT_DIR. Then closes the launcher.

Usage: demo_tour.py CLIENT_DIR PROBE_EXE OUT_DIR"""
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import player  # noqa: E402


def main():
    client, probe_exe, out = (pathlib.Path(a) for a in sys.argv[1:4])
    out.mkdir(parents=True, exist_ok=True)
    me = player.Player(str(probe_exe))
    launcher = subprocess.Popen(["wine", str(client / "VornLauncher.exe")], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shots = []

    def shot(name, window):
        path = out / name
        me.screenshot(str(path), window)
        shots.append(path)

    try:
        window = me.wait_launcher(60)
        time.sleep(1.0)
        shot("1-started.png", me.refresh(window))

        def settled(current):
            if not current or not any(me.region_texts(current)):
                return None
            label = me.child(current, player.UPDATE_LABEL_ID)
            return current if label and not label["visible"] else None

        # On a busy machine every look through the probe takes seconds, and the update (about ten seconds) may
        # be over before the tour sees it: then there is no picture of it at work, and the tour goes on.
        def updating_or_settled():
            current = me.refresh(window)
            label = me.child(current, player.UPDATE_LABEL_ID) if current else None
            if label and label["visible"]:
                return ("updating", current)
            done = settled(current)
            return ("settled", done) if done else None
        seen, current = me.wait("the update label", updating_or_settled, 60)
        if seen == "updating":
            time.sleep(1.5)
            shot("2-updating.png", current)
            current = me.wait("the end of the update", lambda: settled(me.refresh(window)), 120)
        else:
            print("the update had ended before the tour looked: no picture of it at work")
        time.sleep(0.5)
        shot("3-updated.png", current)

        me.click(current, player.region_button(0))
        current = me.wait("the enter-game button to be enabled",
                          lambda: (lambda w: w if w and me.child(w, player.ENTER_GAME_ID)["enabled"] else None)(
                              me.refresh(window)), 20)
        time.sleep(0.5)
        shot("4-region-chosen.png", current)
        print("regions on the buttons: " + ", ".join(t for t in me.region_texts(current) if t))
    finally:
        for path in shots:
            print("screenshot: " + str(path.resolve()))
        for current in me.launchers():
            me.click(current, player.CLOSE_BUTTON)
        try:
            launcher.wait(timeout=15)
        except subprocess.TimeoutExpired:
            launcher.kill()
            launcher.wait()


if __name__ == "__main__":
    main()
