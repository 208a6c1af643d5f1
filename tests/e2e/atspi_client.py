#!/usr/bin/python3
"""An assistive-technology client for the running tool, as a screen reader sees it over
AT-SPI: finds the install button, the status line and the progress bar by name, presses
the button through its action, reads the bar's value and range while the firmware is
written, and waits for the failure to be announced as an alert and as a status change.
Prints one line per finding; exits 0 when all of them hold, 1 otherwise.

  atspi_client.py [SECONDS]                  the one-unit window, as above
  atspi_client.py bench SECONDS STEP...      the bench window (kelvora-upgrade --bench): its
                                             slots are a table; each step in turn, all within
                                             SECONDS:
    press:NAME                 presses the button or switch of that name through its action
    cell:SLOT:COLUMN:TEXT      waits until the row of SLOT reads TEXT at the start of the cell
                               under the column header COLUMN
    label:TEXT                 waits until a label reads TEXT
    alert:TEXT                 waits until an alert that starts with TEXT was shown
    progress:SLOT              waits until the row of SLOT shows a percent between 1 and 99"""
import sys

import pyatspi
from gi.repository import GLib

APP = "kelvora-upgrade"
BUTTON = "Click here to start upgrade."
BAR = "Upgrade progress"
STATUS_DESCRIPTION = "Status of the unit and of the upgrade"
FAILURE = "Check failed"

found = {}
events = {"status": [], "alert": [], "values": set()}


def walk(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def find_parts():
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != APP:
            continue
        for node in walk(app):
            role = node.getRole()
            if role == pyatspi.ROLE_PUSH_BUTTON and node.name == BUTTON:
                found["button"] = node
            elif role == pyatspi.ROLE_PROGRESS_BAR and node.name == BAR:
                found["bar"] = node
            elif role == pyatspi.ROLE_LABEL and node.description == STATUS_DESCRIPTION:
                found["status"] = node
            elif role == pyatspi.ROLE_FRAME:
                found["window"] = node
    return all(k in found for k in ("button", "bar", "status", "window"))


def on_name(event):
    if "status" in found and event.source == found["status"]:
        events["status"].append(event.source.name)


def on_showing(event):
    if event.detail1 == 1 and event.source.getRole() == pyatspi.ROLE_ALERT:
        events["alert"].append(event.source.name)


def sample_bar():
    bar = found["bar"]
    try:
        value = bar.queryValue()
        events["values"].add(value.currentValue)
        events["range"] = (value.minimumValue, value.maximumValue)
    except Exception:  # the bar may be gone between two samples
        pass
    return True


def main():
    loop = GLib.MainLoop()

    # Until the unit is connected and the button offered; the overall bound ends the wait.
    def look():
        if find_parts() and found["button"].getState().contains(pyatspi.STATE_SENSITIVE):
            print("found: window '%s', button, status line, progress bar" % found["window"].name)
            # Qt's bridge sends only the events that some client listens to; it learns of
            # listeners from the registry, so they are added once the bridge is surely up,
            # and given a moment to reach it.
            pyatspi.Registry.registerEventListener(on_name, "object:property-change:accessible-name")
            pyatspi.Registry.registerEventListener(on_showing, "object:state-changed:showing")
            GLib.timeout_add(1000, press)
            return False
        return True

    def press():
        action = found["button"].queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        print("button actions:", names)
        action.doAction(names.index("Press") if "Press" in names else 0)
        GLib.timeout_add(200, sample_bar)
        GLib.timeout_add(250, check_done)
        return False

    def check_done():
        if events["alert"] and any(FAILURE in s for s in events["status"]):
            loop.quit()
            return False
        return True

    GLib.timeout_add(100, look)
    GLib.timeout_add_seconds(int(sys.argv[1]) if len(sys.argv) > 1 else 120, loop.quit)
    loop.run()

    ok = True

    def verdict(good, text):
        nonlocal ok
        ok = ok and good
        print(("ok: " if good else "FAIL: ") + text)

    verdict("window" in found and "Kelvora" in found["window"].name, "window title names the product")
    verdict(events.get("range") == (0.0, 100.0), "bar range %s" % (events.get("range"),))
    inner = sorted(v for v in events["values"] if 0 < v < 100)
    verdict(len(inner) >= 2, "bar values read while writing: %s" % inner[:8])
    verdict(any(FAILURE in s for s in events["status"]),
            "status name changes: %s" % events["status"][-3:])
    verdict(any(FAILURE in a for a in events["alert"]), "alerts: %s" % events["alert"])
    return 0 if ok else 1


def bench_window():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == APP:
            for node in walk(app):
                if node.getRole() == pyatspi.ROLE_TABLE:
                    return app, node
    return None, None


def bench_cell(table, slot, column):
    cells = table.queryTable()
    headers = [cells.getColumnDescription(c) for c in range(cells.nColumns)]
    if column not in headers:
        return None
    for row in range(cells.nRows):
        if cells.getAccessibleAt(row, 0).name == slot:
            return cells.getAccessibleAt(row, headers.index(column)).name
    return None


def bench_step(step, app, table, alerts):
    kind, _, rest = step.partition(":")
    if kind == "press":
        for node in walk(app):
            if node.name == rest and node.getRole() in (pyatspi.ROLE_PUSH_BUTTON,
                                                        pyatspi.ROLE_CHECK_BOX):
                if not node.getState().contains(pyatspi.STATE_SENSITIVE):
                    return False
                action = node.queryAction()
                names = [action.getName(i) for i in range(action.nActions)]
                for wanted in ("Toggle", "Press"):
                    if wanted in names:
                        return action.doAction(names.index(wanted))
                return action.doAction(0)
        return False
    if kind == "cell":
        slot, column, text = rest.split(":", 2)
        value = bench_cell(table, slot, column)
        return value is not None and value.startswith(text)
    if kind == "progress":
        value = bench_cell(table, rest, "Progress") or ""
        digits = value.split(" ")[0]
        return digits.isdigit() and 0 < int(digits) < 100
    if kind == "label":
        return any(n.getRole() == pyatspi.ROLE_LABEL and n.name == rest for n in walk(app))
    if kind == "alert":
        return any(a.startswith(rest) for a in alerts)
    raise ValueError("unknown step " + step)


def bench_main(seconds, steps):
    loop = GLib.MainLoop()
    alerts = []
    state = {"step": 0, "failed": None, "app": None, "table": None}

    def on_alert(event):
        if event.detail1 == 1 and event.source.getRole() == pyatspi.ROLE_ALERT:
            alerts.append(event.source.name)

    def tick():
        if state["table"] is None:
            state["app"], state["table"] = bench_window()
            if state["table"] is None:
                return True
            pyatspi.Registry.registerEventListener(on_alert, "object:state-changed:showing")
            print("found: the slots as a table, %d columns"
                  % state["table"].queryTable().nColumns)
            return True
        try:
            while state["step"] < len(steps) and bench_step(steps[state["step"]], state["app"],
                                                             state["table"], alerts):
                print("ok: " + steps[state["step"]])
                state["step"] += 1
        except Exception as error:  # a row may change between two reads
            print("retry after: %s" % error)
        if state["step"] == len(steps):
            loop.quit()
            return False
        return True

    GLib.timeout_add(200, tick)
    GLib.timeout_add_seconds(seconds, loop.quit)
    loop.run()
    if state["step"] < len(steps):
        print("FAIL: not seen within %d s: %s" % (seconds, steps[state["step"]]))
        if state["table"] is not None:
            cells = state["table"].queryTable()
            for row in range(cells.nRows):
                print("  row: " + " | ".join(cells.getAccessibleAt(row, c).name
                                             for c in range(cells.nColumns)))
        print("  alerts: %s" % alerts)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "bench":
        sys.exit(bench_main(int(sys.argv[2]), sys.argv[3:]))
    sys.exit(main())
