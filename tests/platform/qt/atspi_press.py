#!/usr/bin/env python3
"""Presses a button in a window of a running program through the accessibility bus, where
no input can be injected (a headless Wayland compositor).

    atspi_press.py PROGRAM CAPTION BUTTON

Exit status 0 once pressed, 1 while no such window or button is there.
"""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def walk(node, depth=0):
    yield node
    if depth > 16:
        return
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child, depth + 1)


def main():
    program, caption, button = sys.argv[1:4]
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_name() != program:
            continue
        for j in range(app.get_child_count()):
            window = app.get_child_at_index(j)
            if window is None or window.get_name() != caption:
                continue
            for node in walk(window):
                if (node.get_role() == Atspi.Role.PUSH_BUTTON
                        and node.get_name().replace("&", "") == button):
                    node.get_action_iface().do_action(0)
                    return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
