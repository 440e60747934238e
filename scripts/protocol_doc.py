#!/usr/bin/python3
"""Writes docs/protocol.md, the readable reference, from docs/protocol.yaml, after checking
every example of the document against its message's payload schema.

    scripts/protocol_doc.py            # rewrite docs/protocol.md
    scripts/protocol_doc.py --check    # exit status 1 when docs/protocol.md is not current
                                       # or an example does not match
"""
import argparse
import json
import sys
from pathlib import Path

import jsonschema
import yaml

REPO = Path(__file__).resolve().parents[1]
SOURCE = REPO / "docs" / "protocol.yaml"
TARGET = REPO / "docs" / "protocol.md"


class Document:
    def __init__(self, doc):
        self.doc = doc
        self.resolver = jsonschema.RefResolver("", doc)

    def resolve(self, ref):
        node = self.doc
        for part in ref.lstrip("#/").split("/"):
            node = node[part]
        return node

    def deref(self, node):
        while isinstance(node, dict) and "$ref" in node:
            node = self.resolve(node["$ref"])
        return node

    def merged(self, schema):
        """A schema with its allOf parts folded in (properties, required, notes)."""
        schema = self.deref(schema)
        parts = [schema] + [self.merged(p) for p in schema.get("allOf", [])]
        out = {k: v for k, v in schema.items() if k != "allOf"}
        out["properties"], out["required"] = {}, []
        for part in parts:
            out["properties"].update(part.get("properties", {}))
            out["required"] += [r for r in part.get("required", []) if r not in out["required"]]
            for key in ("additionalProperties", "if", "then", "dependencies", "description"):
                if key in part and key not in out:
                    out[key] = part[key]
        return out

    def messages(self, action):
        for operation in self.doc["operations"].values():
            if operation["action"] == action:
                for ref in operation["messages"]:
                    key = self.resolve(ref["$ref"])["$ref"].rsplit("/", 1)[1]
                    yield key, self.deref(self.doc["components"]["messages"][key])


def text(value):
    return json.dumps(value, ensure_ascii=False)


def type_of(doc, schema):
    """The member's type, with its constraints, in words."""
    schema = doc.deref(schema)
    if "const" in schema:
        return f"`{text(schema['const'])}`"
    kind = schema.get("type")
    if "oneOf" in schema:
        return f"one of {len(schema['oneOf'])} forms (below)"
    if isinstance(kind, list):
        words = " or ".join(kind)
    elif kind == "array":
        items = schema.get("items")
        words = f"array of {type_of(doc, items)}" if items else "array"
    else:
        words = kind or "any"
    if "enum" in schema:
        words += ": " + ", ".join(f"`{text(v)}`" for v in schema["enum"])
    limits = []
    if "minimum" in schema and "maximum" in schema:
        limits.append(f"{schema['minimum']} to {schema['maximum']}")
    elif "minimum" in schema:
        limits.append(f"at least {schema['minimum']}")
    if "format" in schema:
        limits.append(schema["format"])
    for key, word in (("minLength", "at least {} characters"), ("maxLength", "at most {} characters"),
                      ("minItems", "at least {} items"), ("maxItems", "at most {} items"),
                      ("pattern", "matching `{}`")):
        if key in schema and not (key == "pattern" and "format" in schema):
            limits.append(word.format(schema[key]))
    if "not" in schema and "const" in schema["not"]:
        limits.append(f"never `{text(schema['not']['const'])}`")
    return words + (f" ({'; '.join(limits)})" if limits else "")


def cell(value):
    return " ".join(str(value).split()).replace("|", "\\|")


def rows(doc, schema, prefix, out, notes):
    """One table row per member, nested objects and arrays of objects flattened."""
    schema = doc.merged(schema)
    for name, member in schema["properties"].items():
        path = f"{prefix}{name}"
        member_schema = doc.deref(member)
        out.append((f"`{path}`", type_of(doc, member_schema),
                    "yes" if name in schema["required"] else "no",
                    member_schema.get("description", "")))
        nested = member_schema
        suffix = "."
        if member_schema.get("type") == "array" and "items" in member_schema:
            nested, suffix = doc.deref(member_schema["items"]), "[]."
        if nested.get("type") == "object" or "allOf" in nested:
            rows(doc, nested, f"{path}{suffix}", out, notes)
        for i, form in enumerate(nested.get("oneOf", []), 1):
            form = doc.deref(form)
            notes.append(f"`{path}` form {i}: " + ", ".join(
                f"`{k}` {type_of(doc, v)}" for k, v in form["properties"].items()) +
                f"; all present{'; no other members' if form.get('additionalProperties') is False else ''}.")
    dependencies = schema.get("dependencies", {})
    group = set(dependencies)
    if group and all(set(deps) | {k} == group for k, deps in dependencies.items()):
        notes.append(", ".join(f"`{prefix}{k}`" for k in dependencies) +
                     " come all together or not at all.")
    else:
        for k, deps in dependencies.items():
            notes.append(f"`{prefix}{k}` comes only with " +
                         ", ".join(f"`{prefix}{d}`" for d in deps) + ".")
    if "then" in schema:
        condition = schema["if"]["properties"]
        (member, test), = condition.items()
        notes.append(f"When `{prefix}{member}` is not `{text(test['not']['const'])}`: " +
                     ", ".join(f"`{prefix}{r}`" for r in schema["then"]["required"]) +
                     " are required, and `" + prefix + "dnsservers` is an array holding a "
                     "dotted quad.")


def render_message(doc, key, message, closed):
    payload = doc.merged(message["payload"])
    kind = payload["properties"].get("type")
    name = message.get("name", key)
    lines = [f"### {name}: {message.get('title', '')}", ""]
    for part in ("summary", "description"):
        if message.get(part):
            lines += [message[part].strip(), ""]
    table, notes = [], []
    rows(doc, message["payload"], "", table, notes)
    if kind is None:
        lines += ["No \"type\" member.", ""]
    presence = "Always present" if closed else "Required"
    lines += [f"| Member | Type | {presence} | Meaning |", "|---|---|---|---|"]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in table]
    lines.append("")
    lines += [f"- {note}" for note in notes]
    lines.append("- No other members." if closed else "- Other members are ignored.")
    lines.append("")
    for example in message.get("examples", []):
        lines += [f"Example ({example.get('name', '')}), from a session of the sandbox build:",
                  "", "```json", json.dumps(example["payload"], indent=2, ensure_ascii=False),
                  "```", ""]
    return lines


def check_examples(doc):
    problems = []
    for action in ("send", "receive"):
        for key, message in doc.messages(action):
            validator = jsonschema.Draft7Validator(message["payload"], resolver=doc.resolver)
            for example in message.get("examples", []):
                for error in validator.iter_errors(example["payload"]):
                    problems.append(f"example of {key}: {error.json_path}: {error.message}")
    return problems


def render(doc):
    info = doc.doc["info"]
    lines = [f"# {info['title']} {info['version']}", "",
             "<!-- Generated from docs/protocol.yaml by scripts/protocol_doc.py: edit those, "
             "not this file. -->", "", info["description"].strip(), "", "## Catalogue", "",
             "| From | Message | What it is |", "|---|---|---|"]
    for action, source in (("send", "agent"), ("receive", "server")):
        for key, message in doc.messages(action):
            lines.append(f"| {source} | {message.get('name', key)} | "
                         f"{cell(message.get('summary') or message.get('title', ''))} |")
    lines.append("")
    for server in doc.doc["servers"].values():
        lines += ["## Server", "", f"`{server['protocol']}://{server['host']}{server['pathname']}`"
                  " (example host).", "", server["description"].strip(), ""]
    sections = (("send", "Messages from the agent to the server", True),
                ("receive", "Messages from the server to the agent", False))
    for action, heading, closed in sections:
        lines += [f"## {heading}", ""]
        for key, message in doc.messages(action):
            lines += render_message(doc, key, message, closed)
    return "\n".join(lines).rstrip() + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true",
                    help="compare with docs/protocol.md instead of writing it")
    args = ap.parse_args()
    doc = Document(yaml.safe_load(SOURCE.read_text()))
    problems = check_examples(doc)
    for problem in problems:
        print(f"{SOURCE}: {problem}", file=sys.stderr)
    markdown = render(doc)
    if args.check:
        if not TARGET.exists() or TARGET.read_text() != markdown:
            print(f"{TARGET} is not current: run scripts/protocol_doc.py", file=sys.stderr)
            return 1
    else:
        TARGET.write_text(markdown)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
