#!/usr/bin/python3
"""Checks api/openapi.json: an OpenAPI 3.1 document by the published schema
(api/schema/openapi-3.1.json), every schema in it a JSON Schema 2020-12 schema,
every operation named by a unique operationId, and every example valid by the
schema beside it. Uses Debian's python3-jsonschema; exits 1 and names each fault."""
import json
import pathlib
import sys

import jsonschema

ROOT = pathlib.Path(__file__).resolve().parent.parent
METHODS = ("get", "put", "post", "delete", "patch", "head", "options", "trace")


def media_types(document):
    """(where, media type object) of every request body and answer, references followed."""
    def resolved(item):
        while "$ref" in item:
            node = document
            for part in item["$ref"].lstrip("#/").split("/"):
                node = node[part]
            item = node
        return item

    for path, item in document["paths"].items():
        for method in METHODS:
            operation = item.get(method)
            if not operation:
                continue
            where = f"{method.upper()} {path}"
            if "requestBody" in operation:
                for type_, media in resolved(operation["requestBody"])["content"].items():
                    yield f"{where} request {type_}", media
            for status, answer in operation["responses"].items():
                for type_, media in resolved(answer).get("content", {}).items():
                    yield f"{where} {status} {type_}", media


def schemas(node, where="#"):
    """Every value of a "schema" key and every component schema, with where it is."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "schema" or where == "#/components/schemas":
                yield f"{where}/{key}", value
            if key != "example":
                yield from schemas(value, f"{where}/{key}")
    elif isinstance(node, list):
        for i, value in enumerate(node):
            yield from schemas(value, f"{where}/{i}")


def main():
    document = json.loads((ROOT / "api" / "openapi.json").read_text())
    meta = json.loads((ROOT / "api" / "schema" / "openapi-3.1.json").read_text())
    faults = [f"document: {e.message[:300]} at {'/'.join(map(str, e.absolute_path))}"
              for e in jsonschema.Draft202012Validator(meta).iter_errors(document)]

    for where, schema in schemas(document):
        try:
            jsonschema.Draft202012Validator.check_schema(schema)
        except jsonschema.SchemaError as e:
            faults.append(f"{where}: no JSON Schema 2020-12 schema: {e.message[:300]}")

    ids = {}
    for path, item in document["paths"].items():
        for method in METHODS:
            if method in item:
                name = item[method].get("operationId")
                if not name:
                    faults.append(f"{method.upper()} {path}: no operationId")
                elif name in ids:
                    faults.append(f"{method.upper()} {path}: operationId {name} is {ids[name]}'s already")
                else:
                    ids[name] = f"{method.upper()} {path}"

    resolver = jsonschema.RefResolver.from_schema(document)
    for where, media in media_types(document) if not faults else ():  # examples need sound schemas
        if "example" in media and "schema" in media:
            validator = jsonschema.Draft202012Validator(media["schema"], resolver=resolver)
            for e in validator.iter_errors(media["example"]):
                faults.append(f"{where}: the example does not fit: {e.message[:300]} at "
                              f"{'/'.join(map(str, e.absolute_path))}")

    for fault in faults:
        print(fault)
    print(f"api/openapi.json: {len(ids)} operations, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
