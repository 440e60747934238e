"""The messages of docs/protocol.yaml as JSON Schema validators, by direction and "type".

    schema = ProtocolSchema()
    schema.check("agent", message)   # agent to server: [] or the problems found
    schema.check("server", message)  # server to agent
"""
import json
import os
from functools import lru_cache

import jsonschema
import yaml

DOCUMENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                        "protocol.yaml")
# The agent's limit on a message it receives; a longer one is dropped unanswered.
MAX_INCOMING = 16383


def _resolve(doc, ref):
    node = doc
    for part in ref.lstrip("#/").split("/"):
        node = node[part.replace("~1", "/").replace("~0", "~")]
    return node


def _deref(doc, node):
    while isinstance(node, dict) and "$ref" in node:
        node = _resolve(doc, node["$ref"])
    return node


def _types(doc, schema):
    """The "type" values a payload schema admits; None for a message without "type"."""
    schema = _deref(doc, schema)
    found = set()
    for part in [schema] + schema.get("allOf", []):
        prop = _deref(doc, part).get("properties", {}).get("type")
        if prop is None:
            continue
        prop = _deref(doc, prop)
        if "const" in prop:
            found.add(prop["const"])
        found.update(prop.get("enum", []))
    return found or {None}


class ProtocolSchema:
    def __init__(self, path=DOCUMENT):
        with open(path) as f:
            self.doc = doc = yaml.load(f, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
        resolver = jsonschema.RefResolver("", doc)
        # direction -> type -> [(message name, validator)]
        self.by_type = {"agent": {}, "server": {}}
        for operation in doc["operations"].values():
            direction = "agent" if operation["action"] == "send" else "server"
            for ref in operation["messages"]:
                key = _resolve(doc, ref["$ref"])["$ref"].rsplit("/", 1)[1]
                payload = _deref(doc, doc["components"]["messages"][key])["payload"]
                validator = jsonschema.Draft7Validator(payload, resolver=resolver)
                for kind in _types(doc, payload):
                    self.by_type[direction].setdefault(kind, []).append((key, validator))
        # Commands that the agent answers; "get_logs" answers "logs".
        schemas = doc["components"]["schemas"]
        self.answered = set(schemas["ResultReply"]["properties"]["type"]["enum"] +
                            schemas["RequestRefused"]["properties"]["type"]["enum"])

    def check(self, direction, message):
        """[] when the message matches one of its type's schemas, else one line per problem,
        each with the message's member path and the schema path."""
        if not isinstance(message, dict):
            return ["not a JSON object"]
        kind = message.get("type") if "type" in message else None
        candidates = self.by_type[direction].get(kind if isinstance(kind, str) or kind is None
                                                 else object())
        if not candidates:
            return [f"no message of type {json.dumps(kind)} from the "
                    f"{direction} in the document"]
        best = None
        for key, validator in candidates:
            errors = sorted(validator.iter_errors(message), key=lambda e: list(e.path))
            if not errors:
                return []
            if best is None or len(errors) < len(best[1]):
                best = (key, errors)
        key, errors = best
        return [f"{e.json_path}: {e.message} (components/messages/{key}/payload: "
                f"{'/'.join(str(p) for p in e.absolute_schema_path)})" for e in errors]


@lru_cache(maxsize=None)
def load(path=DOCUMENT):
    """One parsed document per process: every server shares it."""
    return ProtocolSchema(path)
