#!/usr/bin/python3
"""A stand-in for the desktop's real-time broker (RealtimeKit), for the tests.

It speaks RealtimeKit's interface on the bus at ADDRESS as
org.freedesktop.RealtimeKit1, and grants what the real one grants, as it
checks it: a thread of the calling process, at most its priority, for a
process that limits its real-time threads' CPU time (RLIMIT_RTTIME) to at
most its figure. Each grant is made with SCHED_FIFO and checked, and a line
goes to LOG: "granted TID of PID at PRIORITY"; a refusal likewise.

Usage: realtime_broker.py ADDRESS LOG [stall]   (run as root; "ready" in LOG once it answers)
With "stall" it answers nothing: "asked" goes to LOG and it waits, as a
broker that hangs.
"""
import os
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.RealtimeKit1"
PATH = "/org/freedesktop/RealtimeKit1"
MAX_PRIORITY = 20
RTTIME_USEC_MAX = 200000


def rttime_limit(pid):
    """The process's RLIMIT_RTTIME (soft, hard) in microseconds; None for unlimited."""
    with open(f"/proc/{pid}/limits") as limits:
        for line in limits:
            if line.startswith("Max realtime timeout"):
                soft, hard = line.split()[3:5]
                return None if "unlimited" in (soft, hard) else (int(soft), int(hard))
    return None


class Broker(dbus.service.Object):
    def __init__(self, bus, log, stall):
        super().__init__(bus, PATH)
        self.bus = bus
        self.log = log
        self.stall = stall

    def say(self, line):
        self.log.write(line + "\n")
        self.log.flush()

    def refuse(self, why):
        self.say("refused: " + why)
        raise dbus.exceptions.DBusException(why, name="org.freedesktop.DBus.Error.AccessDenied")

    @dbus.service.method(NAME, in_signature="tu", out_signature="", sender_keyword="sender")
    def MakeThreadRealtime(self, tid, priority, sender=None):
        pid = int(self.bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "GetConnectionUnixProcessID", "s", [sender]))
        self.grant(pid, int(tid), int(priority))

    def grant(self, pid, tid, priority):
        if not os.path.exists(f"/proc/{pid}/task/{tid}"):
            self.refuse(f"thread {tid} is not of process {pid}")
        if priority < 1 or priority > MAX_PRIORITY:
            self.refuse(f"priority {priority} out of 1 to {MAX_PRIORITY}")
        limit = rttime_limit(pid)
        if limit is None or limit[1] > RTTIME_USEC_MAX:
            self.refuse(f"process {pid} does not limit its real-time CPU time to {RTTIME_USEC_MAX} us")
        os.sched_setscheduler(tid, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(priority))
        if os.sched_getscheduler(tid) & ~os.SCHED_RESET_ON_FORK != os.SCHED_FIFO:
            self.refuse(f"thread {tid} did not become SCHED_FIFO")
        self.say(f"granted {tid} of {pid} at {priority}")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if self.stall:
            self.say("asked")
            time.sleep(30)
        values = {"MaxRealtimePriority": dbus.Int32(MAX_PRIORITY), "MinNiceLevel": dbus.Int32(-15),
                  "RTTimeUSecMax": dbus.Int64(RTTIME_USEC_MAX)}
        if interface != NAME or name not in values:
            raise dbus.exceptions.DBusException(f"no property {name}",
                                                name="org.freedesktop.DBus.Error.UnknownProperty")
        return values[name]


def main():
    address, log_path = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    log = open(log_path, "a")
    broker = Broker(bus, log, len(sys.argv) > 3 and sys.argv[3] == "stall")
    name = dbus.service.BusName(NAME, bus)
    broker.say("ready")
    GLib.MainLoop().run()
    del name


if __name__ == "__main__":
    main()
