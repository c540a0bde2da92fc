"""A desktop's notification service for tests: owns org.freedesktop.Notifications
on the session bus, writes each notification it is sent as a line of JSON to
RECORD (its id, the id it replaces, summary, body, actions and hints), and
answers as a real one does. What a user's click would do is asked of it over
the bus: `Invoke(id, action)` on the test interface emits ActionInvoked for
that notification (action "default" for a click on it, or a button's key),
as a notification server does when the user clicks.

Usage: notification_server.py RECORD"""

import json
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
TEST_INTERFACE = "com.quillfen.tarvine.test.NotificationServer"
INTROSPECTION = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="Notify">
      <arg type="s" name="app_name" direction="in"/>
      <arg type="u" name="replaces_id" direction="in"/>
      <arg type="s" name="app_icon" direction="in"/>
      <arg type="s" name="summary" direction="in"/>
      <arg type="s" name="body" direction="in"/>
      <arg type="as" name="actions" direction="in"/>
      <arg type="a{sv}" name="hints" direction="in"/>
      <arg type="i" name="expire_timeout" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" name="id" direction="in"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
  <interface name="%s">
    <method name="Invoke">
      <arg type="u" name="id" direction="in"/>
      <arg type="s" name="action" direction="in"/>
    </method>
  </interface>
</node>
""" % TEST_INTERFACE


def main():
    record = open(sys.argv[1], "a")
    shown = {}  # id: its actions, while it shows
    last = [0]
    loop = GLib.MainLoop()

    def emit(connection, signal, arguments):
        connection.emit_signal(None, PATH, NAME, signal, arguments)

    def call(connection, sender, path, interface, method, parameters, invocation):
        if method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("double", "tarvine", "1", "1.2")))
        elif method == "Notify":
            app, replaces, icon, summary, body, actions, hints, timeout = parameters.unpack()
            if replaces not in shown:
                last[0] += 1
                replaces_or_new = last[0]
            else:
                replaces_or_new = replaces
            shown[replaces_or_new] = actions
            record.write(json.dumps({
                "id": replaces_or_new, "replaces": replaces, "app": app, "summary": summary,
                "body": body, "actions": actions,
                "hints": {k: v for k, v in hints.items() if isinstance(v, (str, int))}}) + "\n")
            record.flush()
            invocation.return_value(GLib.Variant("(u)", (replaces_or_new,)))
        elif method == "CloseNotification":
            (id,) = parameters.unpack()
            if shown.pop(id, None) is not None:
                emit(connection, "NotificationClosed", GLib.Variant("(uu)", (id, 3)))
            invocation.return_value(None)
        elif method == "Invoke":
            id, action = parameters.unpack()
            actions = shown.get(id)
            if actions is None or action not in actions[0::2]:
                invocation.return_dbus_error(TEST_INTERFACE + ".NoSuchAction",
                                             "no action %s on notification %d" % (action, id))
                return
            emit(connection, "ActionInvoked", GLib.Variant("(us)", (id, action)))
            # Clicked, a notification goes, as on a desktop.
            del shown[id]
            emit(connection, "NotificationClosed", GLib.Variant("(uu)", (id, 2)))
            invocation.return_value(None)

    info = Gio.DBusNodeInfo.new_for_xml(INTROSPECTION)

    def acquired(connection, name):
        for interface in info.interfaces:
            connection.register_object(PATH, interface, call, None, None)

    Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, acquired, None,
                     lambda connection, name: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
