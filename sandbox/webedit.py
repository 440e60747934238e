#!/usr/bin/python3
"""Edits a sandbox root's daemon configuration the way the miner's web interface does.

    sandbox/webedit.py ROOT --set bitmain-fan-pwm=80 [--set KEY=VALUE ...] [--rename]

Values are stored as text, as the web interface stores numbers; "true" and "false" become
switches. The file is rewritten in the web interface's layout (one member per line, no
indentation, a blank on both sides of the colon), either in place (open, truncate, write) or,
with --rename, into a temporary file that is then renamed over it.
"""

import argparse
import json
import os
import sys


def dump(config):
    """The web interface's layout of the daemon configuration."""
    def value(v):
        return json.dumps(v, ensure_ascii=False)

    lines = ["{"]
    members = list(config.items())
    for i, (key, v) in enumerate(members):
        comma = "," if i < len(members) - 1 else ""
        if key == "pools" and isinstance(v, list):
            lines.append('"pools" : [')
            for j, pool in enumerate(v):
                fields = [f'{json.dumps(k)} : {value(x)}' for k, x in pool.items()]
                lines += ["{", ",\n".join(fields), "}" + ("," if j < len(v) - 1 else "")]
            lines += ["]", comma] if comma else ["]"]
        else:
            lines.append(f"{json.dumps(key)} : {value(v)}{comma}")
    lines.append("}")
    return "\n".join(lines) + "\n"


def parse_setting(text):
    key, sep, raw = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return key, {"true": True, "false": False}.get(raw, raw)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("root", help="sandbox root (see sandbox/make-root.sh)")
    ap.add_argument("--set", dest="settings", type=parse_setting, action="append", default=[],
                    metavar="KEY=VALUE", help="member to set (repeatable)")
    ap.add_argument("--rename", action="store_true",
                    help="write a temporary file and rename it over the configuration")
    args = ap.parse_args(argv)

    path = os.path.join(args.root, "config", "cgminer.conf")
    with open(path) as f:
        config = json.load(f)
    for key, v in args.settings:
        config[key] = v
    # The daemon expects "multi-version" last.
    if "multi-version" in config:
        config["multi-version"] = config.pop("multi-version")
    text = dump(config)

    if args.rename:
        temp = os.path.join(args.root, "config", ".cgminer.conf.web")
        with open(temp, "w") as f:
            f.write(text)
        os.rename(temp, path)
    else:
        with open(path, "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
