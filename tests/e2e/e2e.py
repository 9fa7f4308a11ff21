#!/usr/bin/env python3
"""End-to-end scenarios: the real launcher under Wine against a local server.

Usage: e2e.py --build DIR --winerun PATH --scenario NAME
Each scenario starts from a fresh copy of a clean prefix and checks what the
launcher leaves behind: files, shortcut, registry, the started updater and
the requests the server saw. The scenarios are in *_scenarios.py, by what
they show; scenario.py has what they share.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import endpoints  # noqa: E402
import fallback_scenarios  # noqa: E402
import hand_off_scenarios  # noqa: E402
import image_scenarios  # noqa: E402
import install_scenarios  # noqa: E402
import network_scenarios  # noqa: E402
import partial_scenarios  # noqa: E402
import proxy_scenarios  # noqa: E402
import signed_scenarios  # noqa: E402
from scenario import Scenario  # noqa: E402

SCENARIOS = {}
for module in (install_scenarios, hand_off_scenarios, network_scenarios, partial_scenarios,
               fallback_scenarios, proxy_scenarios, signed_scenarios, image_scenarios):
    assert not SCENARIOS.keys() & module.SCENARIOS.keys(), module.__name__
    SCENARIOS.update(module.SCENARIOS)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--winerun", required=True)
    parser.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    parser.add_argument("--group", type=int, choices=(0, 1), default=0,
                        help="the launchers and ports of this e2e group (two run at once)")
    args = parser.parse_args()
    endpoints.use_group(args.group)
    print(f"scenario {args.scenario}")
    s = Scenario(args, args.scenario)
    try:
        SCENARIOS[args.scenario](s)
    finally:
        s.prefix.kill()
    passed = "passed" if not s.failures else "FAILED"
    print(f"scenario {args.scenario} {passed}: {len(s.failures)} failed checks")
    return 1 if s.failures else 0


if __name__ == "__main__":
    sys.exit(main())
