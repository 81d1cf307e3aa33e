#!/usr/bin/env python3
# Validates docs/openapi.yaml against the OpenAPI 3.0 schema of Debian's
# openapi-specification with python3-jsonschema, and every operation's examples against
# the operation's own schemas (close enough to JSON Schema draft 4 for what is used).
import json
import sys
from functools import reduce

import jsonschema
import yaml

SCHEMA = "/usr/share/openapi-specification/schemas/v3.0/schema.json"


# A copy of node with every local $ref ("#/components/...") replaced by its target.
def inline(doc, node):
    while isinstance(node, dict) and "$ref" in node:
        node = reduce(lambda n, part: n[part], node["$ref"].lstrip("#/").split("/"), doc)
    if isinstance(node, dict):
        return {k: inline(doc, v) for k, v in node.items()}
    return [inline(doc, v) for v in node] if isinstance(node, list) else node


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = yaml.safe_load(f)
    with open(SCHEMA, encoding="utf-8") as f:
        jsonschema.Draft4Validator(json.load(f)).validate(doc)
    checked = 0
    for item in inline(doc, doc["paths"]).values():
        for op in item.values():
            media = list(op.get("requestBody", {}).get("content", {}).values())
            for response in op["responses"].values():
                media += response.get("content", {}).values()
            for m in media:
                for example in m.get("examples", {}).values():
                    jsonschema.Draft4Validator(m.get("schema", {})).validate(example["value"])
                    checked += 1
    print(f"{sys.argv[1]}: valid OpenAPI {doc['openapi']}, {len(doc['paths'])} paths, "
          f"{checked} examples match their schemas")


if __name__ == "__main__":
    main()
