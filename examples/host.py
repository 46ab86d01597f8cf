#!/usr/bin/env python3
"""A Python host: connect, read telemetry, move, end.

    python3 host.py PORT [--baud N] [--library PATH]

The tovlink module must be importable (installed, or PYTHONPATH pointing at
the source tree's python/ folder); --library names the shared library when it
is not where the module looks by itself.
"""

import argparse
import sys

import tovlink


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="serial port, or the path tovlink-sim prints")
    parser.add_argument("--baud", type=int, default=tovlink.DEFAULT_BAUD)
    parser.add_argument("--library", help="path of libTovLinkCxx.so (the session library)")
    args = parser.parse_args()

    print("TovLinkLib", tovlink.library_version(args.library))
    try:
        with tovlink.Robot(args.port, args.baud, library=args.library) as robot:
            print("robot", robot.who())
            print("battery", robot.get_battery_value())
            print("motor 2 at", robot.get_motor_position(2))
            robot.motor_power_on(500)
            robot.motor_angle_time(2, 100, 300)
            print("motor 2 sent to 100 over 300 ms")
    except tovlink.TovLinkError as error:
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
