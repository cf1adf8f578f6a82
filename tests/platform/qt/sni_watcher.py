#!/usr/bin/python3
# A StatusNotifierWatcher and host as a Plasma or AppIndicator panel has them, small
# enough for a test: it takes the watcher's name on the session bus, lets items
# register, and for the first one writes what a panel would show and do to the file
# given as the first argument, one line each:
#   registered <service> <path>
#   menu <label>|<label>|-|...        (the exported com.canonical.dbusmenu layout)
#   activated                         (after calling Activate, as a click on it does)
# Then it waits until it is killed.
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""

out = open(sys.argv[1], "a", buffering=1)
items = []


def say(line):
    out.write(line + "\n")


def labels(layout):
    # (id, properties, children): a separator is "-", an entry its label.
    found = []
    for _, props, _ in layout[2]:
        if props.get("type") == "separator":
            found.append("-")
        elif props.get("visible", True):
            found.append(props.get("label", ""))
    return found


def look_at(bus, service, path):
    # Asynchronous, as a panel is: the program asks the watcher about hosts meanwhile.
    def activated(conn, result):
        conn.call_finish(result)
        say("activated")

    def got_layout(conn, result):
        _, layout = conn.call_finish(result).unpack()
        say("menu " + "|".join(labels(layout)))
        bus.call(service, path, "org.kde.StatusNotifierItem", "Activate",
                 GLib.Variant("(ii)", (10, 10)), None, 0, 30000, None, activated)

    def got_menu(conn, result):
        (menu_path,) = conn.call_finish(result).unpack()
        bus.call(service, menu_path, "com.canonical.dbusmenu", "GetLayout",
                 GLib.Variant("(iias)", (0, -1, [])), None, 0, 30000, None, got_layout)

    bus.call(service, path, "org.freedesktop.DBus.Properties", "Get",
             GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")), None, 0, 30000, None,
             got_menu)
    return False


def on_call(bus, sender, path, interface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        (service,) = params.unpack()
        item_path = "/StatusNotifierItem"
        if service.startswith("/"):
            item_path, service = service, sender
        invocation.return_value(None)
        items.append(service + item_path)
        say("registered %s %s" % (service, item_path))
        bus.emit_signal(None, "/StatusNotifierWatcher", WATCHER, "StatusNotifierItemRegistered",
                        GLib.Variant("(s)", (service + item_path,)))
        if len(items) == 1:
            GLib.idle_add(look_at, bus, service, item_path)
    else:
        invocation.return_value(None)


def on_get(bus, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def on_bus(bus, name):
    node = Gio.DBusNodeInfo.new_for_xml(XML)
    bus.register_object("/StatusNotifierWatcher", node.interfaces[0], on_call, on_get, None)


def on_name(bus, name):
    say("watching")


Gio.bus_own_name(Gio.BusType.SESSION, WATCHER, 0, on_bus, on_name, lambda *a: sys.exit(1))
GLib.MainLoop().run()
