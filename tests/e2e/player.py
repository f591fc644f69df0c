"""Plays the launcher from outside, as a person at the screen would: finds its windows through the window probe
(a Windows program run under the same Wine session), clicks with the X mouse, presses keys, takes screenshots.
Used by the end-to-end tests and by the demo. Needs DISPLAY and WINEPREFIX of a running Wine session."""
import json
import os
import subprocess
import time

LAUNCHER_CLASS = "VornLauncherWindow"
DIALOG_CLASS = "#32770"

# Control rectangles in window coordinates (left, top, width, height), where a player finds them on the face.
CLOSE_BUTTON = (986, 22, 35, 33)
UPDATE_LABEL = (272, 304, 494, 54)
ENTER_GAME_BUTTON = (575, 503, 203, 69)
ENTER_GAME_ID = 206
DOWNLOAD_BUTTON_ID = 211
UPDATE_LABEL_ID = 219
FIRST_REGION_ID = 300


def region_button(slot):
    return (264 + 174 * (slot % 3), 375 + 39 * (slot // 3), 165, 34)


class Player:
    def __init__(self, probe_exe, timeout_scale=1.0):
        self.probe_exe = probe_exe
        self.timeout_scale = timeout_scale

    def windows(self):
        """Every visible top-level window of the session and every launcher window, as dictionaries."""
        try:
            result = subprocess.run(["wine", self.probe_exe], stdin=subprocess.DEVNULL, capture_output=True,
                                    timeout=30)
        except subprocess.TimeoutExpired:
            return []
        found = []
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            line = line.strip()
            if line.startswith("{"):
                try:
                    found.append(json.loads(line))
                except ValueError:
                    continue
        return found

    def launchers(self):
        return [w for w in self.windows() if w["class"] == LAUNCHER_CLASS]

    def wait(self, what, condition, timeout):
        """Polls `condition` (returning a true value when met) until `timeout` seconds passed; raises with `what`."""
        deadline = time.monotonic() + timeout * self.timeout_scale
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)
            time.sleep(0.3)

    def wait_launcher(self, timeout=30, pid=None):
        def found():
            for window in self.launchers():
                if window["visible"] and (pid is None or window["pid"] != pid):
                    return window
            return None
        return self.wait("the launcher window", found, timeout)

    def wait_update_end(self, window, timeout=60):
        """Waits until the update stopped: the label hidden with the finished text (success) or offering a retry
        (failure). Before the update starts the label is hidden too, with its first text, which is no end."""
        def ended():
            current = self.refresh(window)
            if current is None:
                return None
            label = self.child(current, UPDATE_LABEL_ID)
            download = self.child(current, DOWNLOAD_BUTTON_ID)
            text = label["text"]
            succeeded = not label["visible"] and ("更新完成" in text or "已是最新版本" in text)
            if download and download["enabled"] and (succeeded or "重试" in text):
                return current
            return None
        return self.wait("the end of the update", ended, timeout)

    def refresh(self, window):
        for candidate in self.windows():
            if candidate["hwnd"] == window["hwnd"]:
                return candidate
        return None

    def dialogs(self):
        return [w for w in self.windows() if w["class"] == DIALOG_CLASS and w["visible"]]

    def wait_dialog(self, caption=None, timeout=20):
        def found():
            for dialog in self.dialogs():
                if caption is None or dialog["text"] == caption:
                    return dialog
            return None
        return self.wait("a message box" + (" \"%s\"" % caption if caption else ""), found, timeout)

    @staticmethod
    def dialog_text(dialog):
        """The message of a message box: its static texts that are not buttons or icons."""
        texts = [c["text"] for c in dialog["children"] if c["class"] == "Static" and c["text"]]
        return "\n".join(texts)

    @staticmethod
    def child(window, control_id):
        for candidate in window["children"]:
            if candidate["id"] == control_id:
                return candidate
        return None

    @staticmethod
    def region_texts(window):
        return [c["text"] for c in window["children"] if FIRST_REGION_ID <= c["id"] < FIRST_REGION_ID + 9]

    def click(self, window, rect):
        """A left click in the middle of `rect` (window coordinates) of the top-level `window`."""
        left, top = window["rect"][0], window["rect"][1]
        x = left + rect[0] + rect[2] // 2
        y = top + rect[1] + rect[3] // 2
        # No --sync: it waits for a motion event, and there is none when the pointer is already there.
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], check=True, timeout=10)
        time.sleep(0.3)
        subprocess.run(["xdotool", "click", "1"], check=True, timeout=10)

    def press_return(self, dialog):
        """Enter on a message box: its default button answers, as a player's key press would."""
        subprocess.run(["xdotool", "search", "--name", "^" + dialog["text"] + "$", "windowfocus", "--sync",
                        "key", "Return"], check=False, timeout=10, capture_output=True)

    def press_button(self, dialog, button_id):
        subprocess.run(["wine", self.probe_exe, "press", str(dialog["hwnd"]), str(button_id)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)

    @staticmethod
    def screenshot(path, window=None):
        """The screen, or only the window's rectangle of it, as a PNG file."""
        command = ["import", "-window", "root"]
        if window is not None:
            left, top, right, bottom = window["rect"]
            command += ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]
        subprocess.run(command + [path], check=False, timeout=30, capture_output=True)
        return os.path.exists(path)
