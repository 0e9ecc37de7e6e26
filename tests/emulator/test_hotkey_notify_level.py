"""HotKeyCapture.efi under a hot-key protocol that calls its handler from
inside the keyboard notification at TPL_NOTIFY (NotifyHotKeys.efi, a stand-in
for such firmware), where file I/O is not allowed: the handler returns at
once, the picture is saved exactly and the badge drawn right after.

NotifyHotKeys prints a line when the handler fails or when the badge square
changed before the handler returned, so a silent console means both presses
were handed on; the files and the screen show they were then done.
"""

import time

from bmp_file import assert_same_picture, decode
from built_images import built_images
from paint_pattern import painted_image
from qemu_vm import LOAD_OK, Vm
from test_hotkey_capture import (HOLD, HOT_KEYS, badge_box, saved_name, wait_for_screen,
                                 wait_until_saved, with_badge)

DRIVERS = ("NotifyHotKeys.efi", "HotKeyCapture.efi")


def test_handler_called_at_notify_level_saves_after_returning():
    painted = painted_image(800, 600)
    files = built_images(*DRIVERS, "PaintScreen.efi")
    startup = ["fs0:", *(f"load {name}" for name in DRIVERS),
               f"PaintScreen.efi 800x600 wait {HOLD}"]
    with Vm(files=files, startup=startup, timeout=150) as vm:
        vm.skip_startup_countdown()
        for name in DRIVERS:
            assert vm.wait_for(LOAD_OK).group(1) == f"FS0:\\{name}"
        vm.wait_for("PAINTED 800x600\n")
        start = vm.mark()
        screens = []
        for number, keys in enumerate((HOT_KEYS[0], HOT_KEYS[3])):
            pressed = time.monotonic()
            vm.send_key(*keys)
            wait_until_saved(vm, number, 800, 600, pressed)
            screens.append(wait_for_screen(vm, with_badge(painted), badge_box()))
        console = vm.console()[start:]
        vm.stop()
        assert console == "", "the stand-in saw a failure or a badge before the handler returned"
        for screen in screens:
            assert_same_picture(screen, with_badge(painted), "screen after a press")
        assert_same_picture(decode(vm.read_file(saved_name(0))), painted, saved_name(0))
        assert_same_picture(decode(vm.read_file(saved_name(1))), with_badge(painted), saved_name(1))
