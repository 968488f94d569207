"""python3 -m brevant: list boards, read one board's readings, or log them.

    python3 -m brevant list
    python3 -m brevant status --type 1 --sensors 0,1
    python3 -m brevant watch --csv --interval 10 --count 360 > burn-in.csv

Exit status as brevantctl's: 0 success, 1 no board or a failed reading,
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

from . import BOARD_8348, MAX_DEVICES, Board, BrevantError, _default_library, _valid_serial, find_boards
from ._library import SIMULATOR_ENV
from ._library import usb_unreachable as _usb_unreachable


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


def _cell(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


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
            boards = find_boards(args.type)
            simulated = any(device.simulated for device in boards)
            if simulated:
                _note_simulated()
            rows = []
            for device in boards:
                try:
                    with Board(device.board_type, device.index) as board:
                        serial: Optional[str] = board.serial
                except BrevantError:
                    serial = None
                rows.append({"type": device.board_type, "index": device.index,
                             "productId": "0x8348" if device.board_type == BOARD_8348 else "0x8248",
                             "serial": serial})
                if device.simulated:
                    rows[-1]["simulated"] = True
            if args.json:
                print(json.dumps(dict({"boards": rows}, **({"simulated": True} if simulated else {}))))
            else:
                for row in rows:
                    text = "%5d  %4d  %s   %s" % (row["index"], row["type"], row["productId"],
                                                  "(unreadable)" if row["serial"] is None else row["serial"] or "(blank)")
                    print("%-36s simulated" % text if row.get("simulated") else text)
            if not rows:
                why = _usb_unreachable()
                print("python3 -m brevant: no boards found" + (": " + why if why else ""), file=sys.stderr)
                return 1
            return 0
        with _open(args) as board:
            if board.simulated:
                _note_simulated()
            if args.command == "status":
                readings = board.readings(args.sensors)
                if args.json:
                    print(json.dumps({"board": {"type": board.board_type, "index": board.index},
                                      "readings": readings}))
                else:
                    for key, value in readings.items():
                        print("%-16s %s" % (key, "failed" if value is None else value))
                return 1 if None in readings.values() else 0
            n = 0
            start = time.monotonic()
            try:
                while args.count is None or n < args.count:
                    if n:
                        time.sleep(max(0.0, start + n * args.interval - time.monotonic()))
                    stamp = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
                    readings = board.readings(args.sensors)
                    if n == 0:
                        print(",".join(["time"] + list(readings)))
                    print(",".join([stamp.replace("+00:00", "Z")] + [_cell(v) for v in readings.values()]),
                          flush=True)
                    n += 1
            except KeyboardInterrupt:
                pass
            return 0
    except BrevantError as error:
        print("python3 -m brevant: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
