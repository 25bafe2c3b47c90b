# SPDX-License-Identifier: MIT
"""A stand-in for the desktop portal's remote-desktop interface (org.freedesktop.portal.RemoteDesktop) on a
private session bus. It answers every request as a user would (grants, or refuses at Start), hands out a
new restore token at each start when its version has them, and forwards input to a real mutter session on
mutter's own bus. Every call it gets is appended to --log as one JSON line; it prints "ready" once it can
be called.

Runs under Debian's /usr/bin/python3, which has dbus-python and GLib.
"""

import argparse
import itertools
import json

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.RemoteDesktop"
PATH = "/org/freedesktop/portal/desktop"
MUTTER = "org.gnome.Mutter.RemoteDesktop"


class Portal(dbus.service.Object):
    def __init__(self, bus, mutter_bus, version, answer, log):
        super().__init__(bus, PATH)
        self.bus, self.mutter_bus, self.version, self.answer, self.log = bus, mutter_bus, version, answer, log
        self.tokens = itertools.count(1)
        self.mutter_session = None

    def record(self, method, **fields):
        with open(self.log, "a") as f:
            f.write(json.dumps(dict(method=method, **fields)) + "\n")

    def respond(self, sender, options, code, results):
        """Answers a request on the object path the caller chose, after the method call has returned."""
        path = f"{PATH}/request/{sender[1:].replace('.', '_')}/{options['handle_token']}"

        def send():
            message = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
            message.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
            self.bus.send_message(message)
            return False

        GLib.idle_add(send)
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(self.version), "AvailableDeviceTypes": dbus.UInt32(3)}

    @dbus.service.method(PORTAL, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        self.record("CreateSession", options=options)
        session = f"{PATH}/session/{sender[1:].replace('.', '_')}/{options['session_handle_token']}"
        return self.respond(sender, options, 0, {"session_handle": dbus.String(session)})

    @dbus.service.method(PORTAL, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def SelectDevices(self, session, options, sender):
        self.record("SelectDevices", options=options)
        return self.respond(sender, options, 0, {})

    @dbus.service.method(PORTAL, in_signature="osa{sv}", out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender):
        self.record("Start", answer=self.answer)
        if self.answer != "grant":
            return self.respond(sender, options, 1, {})
        mutter = self.mutter_bus.get_object(MUTTER, "/org/gnome/Mutter/RemoteDesktop")
        path = mutter.CreateSession(dbus_interface=MUTTER)
        self.mutter_session = dbus.Interface(self.mutter_bus.get_object(MUTTER, path), MUTTER + ".Session")
        self.mutter_session.Start()
        results = {"devices": dbus.UInt32(3)}
        if self.version >= 2:
            results["restore_token"] = dbus.String(f"restore-{next(self.tokens)}-{GLib.get_monotonic_time()}")
        return self.respond(sender, options, 0, results)

    # Input goes to mutter in order, each call answered only once mutter has handled it.
    @dbus.service.method(PORTAL, in_signature="oa{sv}dd")
    def NotifyPointerMotion(self, session, options, dx, dy):
        self.mutter_session.NotifyPointerMotionRelative(dx, dy)

    @dbus.service.method(PORTAL, in_signature="oa{sv}iu")
    def NotifyPointerButton(self, session, options, button, state):
        self.mutter_session.NotifyPointerButton(button, bool(state))

    @dbus.service.method(PORTAL, in_signature="oa{sv}dd")
    def NotifyPointerAxis(self, session, options, dx, dy):
        self.mutter_session.NotifyPointerAxis(dx, dy, dbus.UInt32(1 if options.get("finish") else 0))

    @dbus.service.method(PORTAL, in_signature="oa{sv}iu")
    def NotifyKeyboardKeysym(self, session, options, keysym, state):
        self.mutter_session.NotifyKeyboardKeysym(dbus.UInt32(keysym), bool(state))

    @dbus.service.method(PORTAL, in_signature="oa{sv}iu")
    def NotifyKeyboardKeycode(self, session, options, keycode, state):
        self.mutter_session.NotifyKeyboardKeycode(dbus.UInt32(keycode), bool(state))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bus", required=True, help="address of the bus to serve on")
    parser.add_argument("--mutter-bus", required=True, help="address of mutter's bus")
    parser.add_argument("--version", type=int, default=1)
    parser.add_argument("--answer", choices=("grant", "refuse"), default="grant")
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.bus)
    Portal(bus, dbus.bus.BusConnection(args.mutter_bus), args.version, args.answer, args.log)
    # Owned last, so that whoever sees the name finds everything in place.
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name


if __name__ == "__main__":
    main()
