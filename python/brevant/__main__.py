"""python3 -m brevant: list boards, read one board's readings, or log them.

    python3 -m brevant list
    python3 -m brevant status --type 1 --sensors 0,1
    python3 -m brevant watch --csv --interval 10 --count 360 > burn-in.csv

Column names, the list header and the JSON shapes are brevantctl's (one
table, columns.txt, defines them for both). Exit status as brevantctl's: 0
success, 1 no board, a failed reading or a watch without a whole sample,
2 usage error.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import time
from typing import List, Optional, Sequence

from . import (BOARD_8248, BOARD_8348, Device, _indices, MAX_DEVICES, Board, BrevantError, ShortReplyError, _default_library, _serial_failure,
               _valid_serial, find_boards)
from ._library import SIMULATOR_ENV
from .columns import LIST_HEADER, decimals, reading_column, rounded


def _sensors(text: str) -> List[int]:
    try:
        sensors = [int(item, 0) for item in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("a list of sensor numbers such as 0,1, got %r" % text) from None
    if any(not 0 <= s <= 255 for s in sensors):
        raise argparse.ArgumentTypeError("sensors are 0-255, got %r" % text)
    return sensors


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m brevant", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="the boards found")
    listing.add_argument("--type", "-t", type=int, choices=(0, 1), help="only boards of this type")
    listing.add_argument("--json", "-j", action="store_true", help="one JSON object")
    for name, text in (("status", "every reading of one board"), ("watch", "the readings every few seconds")):
        sub = commands.add_parser(name, help=text)
        sub.add_argument("--type", "-t", type=int, choices=(0, 1), help="board type")
        sub.add_argument("--index", "-i", type=int, help="device index")
        sub.add_argument("--serial", "-s", help="the board with this serial number")
        sub.add_argument("--sensors", type=_sensors, default=[0], help="temperature sensors, e.g. 0,1")
        if name == "status":
            sub.add_argument("--json", "-j", action="store_true", help="one JSON object")
        else:
            sub.add_argument("--csv", action="store_true", help="comma-separated values (the only format)")
            sub.add_argument("--interval", type=float, default=1.0, help="seconds between samples")
            sub.add_argument("--count", "-n", type=int, help="number of samples (default: until Ctrl-C)")
    return parser


def _open(args: argparse.Namespace) -> Board:
    if args.serial is not None:
        return Board.open(serial=args.serial)
    return Board.open(args.type, args.index)


def _note_simulated() -> None:
    print("python3 -m brevant: simulated boards (%s is set); no real board is reached" % SIMULATOR_ENV,
          file=sys.stderr)


def _dumps(value: object) -> str:
    """JSON as brevantctl prints it: compact, members in order."""
    return json.dumps(value, separators=(",", ":"))


def _location(device: Device) -> Optional[str]:
    """Where a board is attached, as brevantctl's list shows it: bench:N for
    a simulated board; on Linux the USB bus and port path from sysfs (the
    library's order: by bus, then port path)."""
    if device.simulated:
        return "bench:%d" % device.index
    root = "/sys/bus/usb/devices"
    try:
        names = os.listdir(root)
    except OSError:
        return None
    boards = []
    for name in names:
        bus, dash, path = name.partition("-")
        if not dash or not bus.isdigit() or ":" in name:
            continue
        try:
            ports = [int(p) for p in path.split(".")]
            with open(os.path.join(root, name, "idVendor")) as f:
                vendor = f.read().strip()
            with open(os.path.join(root, name, "idProduct")) as f:
                product = f.read().strip()
        except (OSError, ValueError):
            continue
        if vendor == "04d8" and product in ("8248", "8348"):
            boards.append(((int(bus), ports), name, product))
    boards.sort()
    if device.index < len(boards) and boards[device.index][2] == ("8348" if device.board_type == BOARD_8348 else "8248"):
        return boards[device.index][1]
    return None


def _list_row(device: Device) -> dict:
    """One board of list: brevantctl's JSON members, the reason of a board
    that could not be read as its error object."""
    row = {"type": device.board_type, "index": device.index,
           "productId": "0x8348" if device.board_type == BOARD_8348 else "0x8248",
           "location": _location(device), "serial": None}
    board = Board(device.board_type, device.index)
    try:
        board.open()
    except BrevantError:
        row["error"] = {"message": "did not open"}
    else:
        try:
            row["serial"] = board.serial
        except BrevantError:
            row["error"] = {"message": _serial_failure(board)}
        board.close()
    if device.simulated:
        row["simulated"] = True
    return row


def _serial_text(serial: Optional[str], row: dict) -> str:
    if serial is None:
        return "(unreadable: %s)" % row["error"]["message"]
    return serial or "(blank)"


def _list_text(rows: List[dict]) -> List[str]:
    """The text of list, with brevantctl's header and widths."""
    simulated = any(row.get("simulated") for row in rows)
    locations = [row["location"] or "-" for row in rows]
    serials = [_serial_text(row["serial"], row) for row in rows]
    widths = [5, 4, 7, max([8] + [len(t) for t in locations]), max([8] + [len(t) for t in serials])]
    names = LIST_HEADER[:6 if simulated else 5]
    header = "  ".join(name.ljust(widths[k]) if k < 5 and k + 1 < len(names) else name
                       for k, name in enumerate(names)).rstrip()
    lines = [header]
    for row, location, serial in zip(rows, locations, serials):
        cells = "%5d  %4d  %s   " % (row["index"], row["type"], row["productId"])
        text = cells + location.ljust(widths[3]) + "  " + serial
        if simulated:
            text = text.ljust(len(cells) + widths[3] + 2 + widths[4]) + "  simulated"
        lines.append(text)
    return lines


def _take(board: Board, sensors: List[int]) -> List[dict]:
    """Every reading as brevantctl's status takes them: key, column, status
    ("ok", "unavailable", "failed"), value, reason and the status text."""
    type1 = board.board_type == BOARD_8348
    taken: List[dict] = []

    def take(key: str, read, text=None) -> None:
        column = reading_column(key)
        entry = {"key": key, "column": column, "status": "ok", "value": None, "reason": None}
        if column.type1_only and not type1:
            entry.update(status="unavailable", reason="type-1 boards only")
        else:
            try:
                entry["value"] = read()
            except ShortReplyError:
                entry.update(status="failed", reason="short reply")
            except BrevantError:
                entry.update(status="failed", reason="no reply")
        taken.append(entry)

    take("vcc", board.vcc)
    for sensor in sensors:
        take("temp%d" % sensor, lambda sensor=sensor: board.temperature(sensor))
    take("current_monitor", board.current_monitor)
    take("port3", lambda: board.port_read(3))
    port3 = taken[-1]

    def ftdi() -> bool:
        if port3["status"] != "ok":
            raise BrevantError("veskcfp2_getPort")
        return bool(port3["value"] & 0x80)

    take("ftdi_supply", ftdi)
    if taken[-1]["status"] == "failed":
        taken[-1]["reason"] = "port 3 not read"
    return taken


def _reading_json(entry: dict) -> dict:
    item = {"status": entry["status"]}
    if entry["status"] == "ok":
        value = entry["value"]
        # brevantctl prints a whole number without ".0" (25, not 25.0).
        item["value"] = int(value) if isinstance(value, float) and value.is_integer() else value
    else:
        item["reason"] = entry["reason"]
    if entry["column"].unit:
        item["unit"] = entry["column"].unit
    return item


def _reading_text(entry: dict) -> str:
    value, key, unit = entry["value"], entry["key"], entry["column"].unit
    if key == "current_monitor":
        return "0x%04X (%d)" % (value, value)
    if key == "port3":
        return "0x%02X" % value
    if isinstance(value, bool):
        return "on" if value else "off"
    return rounded(value, unit) + (" " + unit if unit else "")


def _cell(entry: dict) -> str:
    value = entry["value"]
    if entry["status"] != "ok" or value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float) and decimals(entry["column"].unit) is not None:
        return "%.*f" % (decimals(entry["column"].unit), value)
    return str(value)


def _board_json(board: Board, serial: bool = True) -> dict:
    """brevantctl's board member; the serial number only when asked for and
    readable (after a failed reading it is not asked for, as in brevantctl)."""
    member = {"type": board.board_type, "index": board.index}
    if serial:
        try:
            member["serial"] = board.serial
        except BrevantError:
            pass
    if board.simulated:
        member["simulated"] = True
    return member


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors (status 2) that argparse does not see: the board
    selection as brevantctl checks it, and the sample count."""
    if args.command == "list":
        return
    if args.serial is not None:
        if args.type is not None or args.index is not None:
            parser.error("--serial selects a board on its own; drop --type and --index")
        try:
            _valid_serial(args.serial, "--serial")
        except ValueError as error:
            parser.error(str(error))
    if args.index is not None and not 0 <= args.index < MAX_DEVICES:
        parser.error("--index must be 0-%d, got %d" % (MAX_DEVICES - 1, args.index))
    if args.command == "watch":
        if args.count is not None and args.count < 1:
            parser.error("--count must be 1 or more, got %d" % args.count)
        if not 0 <= args.interval <= 86400:  # also refuses nan
            parser.error("--interval must be 0 to 86400 seconds, got %s" % args.interval)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    _check(parser, args)
    try:
        _default_library()
    except OSError as error:
        print("python3 -m brevant: %s" % error, file=sys.stderr)
        return 1
    try:
        return _run(args)
    except BrokenPipeError:
        # The reader went away (watch | head): stop quietly, and keep Python
        # from complaining again when it flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        print("python3 -m brevant: cannot write standard output: %s" % (error.strerror or error), file=sys.stderr)
        return 1


def _run(args: argparse.Namespace) -> int:
    try:
        if args.command == "list":
            # Each board is read once, for its serial number (a board that
            # answers late would hand a second read the first one's reply).
            lib = _default_library()
            codes = (BOARD_8248, BOARD_8348) if args.type is None else (args.type,)
            boards = sorted((Device(index, code, None, bool(lib.simulated)) for code in codes
                             for index in _indices(lib, code)), key=lambda device: device.index)
            simulated = any(device.simulated for device in boards)
            if simulated:
                _note_simulated()
            rows = [_list_row(device) for device in boards]
            if args.json:
                print(_dumps(dict({"boards": rows}, **({"simulated": True} if simulated else {}))))
            elif rows:
                print("\n".join(_list_text(rows)))
            if not rows:
                print("python3 -m brevant: list: no boards found", file=sys.stderr)
                return 1
            return 0
        with _open(args) as board:
            if board.simulated:
                _note_simulated()
            if args.command == "status":
                taken = _take(board, args.sensors)
                failed = [e for e in taken if e["status"] == "failed"]
                message = ("%d reading%s of the type-%d board at device index %d failed (%s: %s%s)"
                           % (len(failed), "" if len(failed) == 1 else "s", board.board_type, board.index,
                              failed[0]["column"].label, failed[0]["reason"], ", ..." if len(failed) > 1 else "")
                           if failed else "")
                if args.json:
                    out = {"board": _board_json(board) if not failed else _board_json(board, serial=False),
                           "readings": {e["key"]: _reading_json(e) for e in taken}}
                    if failed:
                        out["error"] = {"code": 1, "message": message}
                    print(_dumps(out))
                else:
                    member = _board_json(board)
                    width = max([5] + [len(e["column"].label) for e in taken])
                    print("%s  type-%d board %s at device index %d (product %s)"
                          % ("board".ljust(width), board.board_type, member.get("serial") or "(serial unreadable)",
                             board.index, "0x8348" if board.board_type == BOARD_8348 else "0x8248"))
                    for e in taken:
                        text = {"ok": lambda: _reading_text(e),
                                "unavailable": lambda: "not available (%s)" % e["reason"],
                                "failed": lambda: "failed: %s" % e["reason"]}[e["status"]]()
                        print("%s  %s" % (e["column"].label.ljust(width), text))
                if failed:
                    print("python3 -m brevant: status: %s" % message, file=sys.stderr)
                return 1 if failed else 0
            n = whole = 0
            keys: List[str] = []
            start = time.monotonic()
            try:
                while args.count is None or n < args.count:
                    if n:
                        time.sleep(max(0.0, start + n * args.interval - time.monotonic()))
                    stamp = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
                    taken = _take(board, args.sensors)
                    if n == 0:
                        keys = [e["key"] for e in taken if e["status"] != "unavailable"]
                        print(",".join(["time"] + [reading_column(k).csv_name for k in keys]))
                    cells = {e["key"]: _cell(e) for e in taken}
                    print(",".join([stamp.replace("+00:00", "Z")] + [cells.get(k, "") for k in keys]), flush=True)
                    if all(e["status"] != "failed" for e in taken):
                        whole += 1
                    n += 1
            except KeyboardInterrupt:
                pass
            if n and not whole:
                print("python3 -m brevant: watch: no sample was taken whole: every one of the %d had a failed reading"
                      % n, file=sys.stderr)
                return 1
            return 0
    except BrevantError as error:
        print("python3 -m brevant: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
