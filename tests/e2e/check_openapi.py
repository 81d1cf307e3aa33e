#!/usr/bin/env python3
"""Validates docs/openapi.yaml against the OpenAPI 3.0 JSON schema shipped by Debian's
openapi-specification package, with python3-jsonschema, and checks that every
operation's examples are valid against the operation's own schemas."""
import json
import sys

import jsonschema
import yaml

SCHEMA = "/usr/share/openapi-specification/schemas/v3.0/schema.json"


def resolve(doc, node):
    """Follows local $ref pointers ("#/components/...")."""
    while isinstance(node, dict) and "$ref" in node:
        path = node["$ref"].lstrip("#/").split("/")
        node = doc
        for part in path:
            node = node[part]
    return node


def inline(doc, node):
    """A copy of node with every local $ref replaced by its target."""
    node = resolve(doc, node)
    if isinstance(node, dict):
        return {k: inline(doc, v) for k, v in node.items()}
    if isinstance(node, list):
        return [inline(doc, v) for v in node]
    return node


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = yaml.safe_load(f)
    with open(SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft4Validator(schema).validate(doc)

    # Examples must agree with their schemas (OpenAPI 3.0 schemas are close enough to
    # JSON Schema draft 4 for the constructs used here).
    checked = 0
    for path, item in doc["paths"].items():
        for method, op in item.items():
            media = []
            if "requestBody" in op:
                media += resolve(doc, op["requestBody"])["content"].values()
            for response in op["responses"].values():
                media += resolve(doc, response).get("content", {}).values()
            for m in media:
                m = resolve(doc, m)
                schema_node = inline(doc, m.get("schema", {}))
                for example in m.get("examples", {}).values():
                    value = resolve(doc, example)["value"]
                    jsonschema.Draft4Validator(schema_node).validate(value)
                    checked += 1
    print(f"{sys.argv[1]}: valid OpenAPI {doc['openapi']}, {len(doc['paths'])} paths, "
          f"{checked} examples match their schemas")


if __name__ == "__main__":
    main()
