#!/usr/bin/python3
"""Generated bad inputs to every operation of a running `backoffice serve` on a
demo installation (Debian's python3-hypothesis, derandomised, a bounded number
of examples per operation). A bad input is a request the API description
refuses: a body, query or path value its schemas do not admit, a body that is
no JSON or not declared JSON, or a missing or wrong key. For each:

- the host never answers 500 (but for the operations of EXPECTED_500),
- the answer is documented for its operation and fits its schema,
- a refusal (4xx) changes nothing: every table of the database is as before,
- no card number of the request comes back in the answer.

Usage: bad_inputs.py --url http://127.0.0.1:PORT --home INSTALLATION --database ADO-CONNECTION-STRING
Exits 1 and lists every breach."""
import argparse
import hashlib
import json
import os
import pathlib
import re
import sqlite3
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

import tempfile

import hypothesis.configuration
import hypothesis.strategies as st
import jsonschema
from hypothesis import HealthCheck, Phase, example, given, settings

# hypothesis keeps its caches in a folder of its own: a temporary one, not the working folder
HOME = tempfile.TemporaryDirectory(prefix="bad-inputs-")
hypothesis.configuration.set_hypothesis_home_dir(HOME.name)

# Operations that still answer 500 to some bad inputs: the input checks that
# refuse them with 400 or 422 are on their way. Empty this list when they are
# merged; an operation in it that answered no 500 is named in the output.
EXPECTED_500 = set()  # operations known to answer 500 to bad input: none

# per operation: well under a minute per database; more with BACKOFFICE_BAD_INPUT_EXAMPLES
EXAMPLES = int(os.environ.get("BACKOFFICE_BAD_INPUT_EXAMPLES", "30"))
ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
DOC = json.loads((ROOT / "api" / "openapi.json").read_text())
RESOLVER = jsonschema.RefResolver.from_schema(DOC)
METHODS = ("get", "put", "post", "delete")
EXAMPLE_ID = "0F1E2D3C4B5A69788796A5B4C3D2E1F0"  # the basket of the description's examples


def resolved(node):
    while isinstance(node, dict) and "$ref" in node:
        target = DOC
        for part in node["$ref"].lstrip("#/").split("/"):
            target = target[part]
        node = target
    return node


def fits(value, schema):
    return jsonschema.Draft202012Validator(schema, resolver=RESOLVER).is_valid(value)


def luhn(digits):
    total = 0
    for i, d in enumerate(reversed(digits)):
        n = int(d) * (2 if i % 2 else 1)
        total += n - 9 if n > 9 else n
    return total % 10 == 0


# ---- the database, before and after -------------------------------------------

# Tables that record refusals on purpose: a failed log-in is written to the operators' activity.
RECORDS_OF_REFUSALS = {"OPERATORACTIVITY", "operatoractivity"}


class Fingerprint:
    """A digest of every table of the installation's database but the records of refusals."""

    def __init__(self, connection):
        parts = dict(p.split("=", 1) for p in connection.split(";") if "=" in p)
        self.sqlite = parts.get("Data Source") if parts.get("Provider") == "SQLite" else None
        if self.sqlite:
            return
        args = ["psql", "-qAtX", "-h", parts.get("Host", "localhost"), "-d", parts["Database"],
                "-U", parts.get("User ID", "postgres")]
        if "Port" in parts:
            args += ["-p", parts["Port"]]
        self.psql = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        schema = parts.get("Schema")
        if schema:
            self.query(f"SET search_path TO {schema};")
        tables = self.query("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                            "AND table_type = 'BASE TABLE' ORDER BY 1;")
        self.digest_sql = " UNION ALL ".join(
            f"SELECT '{t}', md5(coalesce(string_agg(x::text, '|' ORDER BY x::text), '')) FROM \"{t}\" x"
            for t in tables if t not in RECORDS_OF_REFUSALS) + ";"

    def query(self, sql):
        self.psql.stdin.write(sql + "\n\\echo __end__\n")
        self.psql.stdin.flush()
        lines = []
        for line in self.psql.stdout:
            if line.strip() == "__end__":
                return lines
            lines.append(line.rstrip("\n"))
        raise RuntimeError("psql ended")

    def __call__(self):
        if not self.sqlite:
            return "\n".join(self.query(self.digest_sql))
        with sqlite3.connect(f"file:{self.sqlite}?mode=ro", uri=True, timeout=30) as db:
            digest = hashlib.sha256()
            for (table,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"):
                if table in RECORDS_OF_REFUSALS:
                    continue
                rows = sorted(repr(r) for r in db.execute(f'SELECT * FROM "{table}"'))
                digest.update((table + "\n" + "\n".join(rows)).encode())
            return digest.hexdigest()


# ---- requests ------------------------------------------------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=40),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=12), inner, max_size=4),
    max_leaves=8)
texts = st.text(max_size=40) | st.sampled_from(["", " ", "ZZZ", "0", "-1", "1e999", "NaN", "1 OR 1=1", "'; DROP TABLE X --",
                                               "../../etc/passwd", "%00", "9" * 40, "2027-02-30", "\u202e\u0000"])
card_numbers = st.integers(10**12, 10**19 - 1).map(str).filter(lambda d: 13 <= len(d) <= 19 and luhn(d))


def request_schema(operation):
    body = resolved(operation.get("requestBody", {}))
    media = body.get("content", {}).get("application/json")
    return (media["schema"], media.get("example", {})) if media else (None, None)


def target_of(path, params, values):
    target = path
    for p in params:
        if p["in"] == "path":
            target = target.replace("{" + p["name"] + "}", urllib.parse.quote(str(values[p["name"]]), safe=""))
    query = {n: v for n, v in values.items() if v not in (None, "") and
             (n == "no-such-parameter" or any(p["name"] == n and p["in"] == "query" for p in params))}
    return target + ("?" + urllib.parse.urlencode(query) if query else "")


def unknown_values(path, method, operation, ctx):
    """Requests that name what does not exist in a shape the schemas admit ("ZZZ" for a
    text), one per such query parameter or field of the body: refused, never a failure of
    the host."""
    params = [resolved(p) for p in operation.get("parameters", [])]
    values = {p["name"]: ctx["values"].get(p["name"]) for p in params}
    headers = {"Authorization": "Bearer " + ctx["keys"][ctx["role"](operation)]}
    for p in params:
        if p["in"] == "query" and p["schema"] == {"type": "string"}:
            yield method.upper(), target_of(path, params, dict(values, **{p["name"]: "ZZZ"})), headers, b"", []
    schema, example = request_schema(operation)
    properties = resolved(schema or {}).get("properties", {})
    example = json.loads(json.dumps(example).replace(EXAMPLE_ID, ctx["values"]["id"]))
    for name in sorted(properties) if isinstance(example, dict) else ():
        if properties[name] == {"type": "string"} and name in example and name != "number":
            body = json.dumps(dict(example, **{name: "ZZZ"})).encode()
            yield method.upper(), target_of(path, params, values), dict(headers, **{"Content-Type": "application/json"}), body, []


@st.composite
def bad_request(draw, path, method, operation, ctx):
    """(method, target, headers, body bytes, card numbers in it) that the description refuses."""
    params = [resolved(p) for p in operation.get("parameters", [])]
    secured = operation.get("security", [None]) != []
    schema, example = request_schema(operation)
    kinds = ["path", "query"] if params else []
    kinds += ["body", "content-type", "malformed"] if schema is not None else []
    kinds += ["key"] if secured else []
    kinds = kinds or ["body"]  # a body where none is taken: the operation ignores or refuses it
    kind = draw(st.sampled_from(kinds))

    values = {p["name"]: "101" if p["in"] == "path" and p["schema"].get("type") == "integer" else ctx["values"].get(p["name"])
              for p in params}
    key = ctx["keys"][ctx["role"](operation)]
    # the description's example, about the stored basket
    example = json.loads(json.dumps(example).replace(EXAMPLE_ID, ctx["values"]["id"]))
    cards = []
    if path.endswith("/authorize"):  # a card number in every request: it must never come back
        cards.append(draw(card_numbers))
        example["number"] = cards[0]
    content_type, body = "application/json", json.dumps(example).encode() if schema is not None else b""

    if kind == "path" or kind == "query":
        targets = [p for p in params if p["in"] == kind] or params
        p = draw(st.sampled_from(targets))
        value = draw(texts | json_values.map(json.dumps)) or "-"
        if fits(value, p["schema"]) or (p["schema"].get("type") in ("integer", "number") and re.fullmatch(r"-?\d+(\.\d+)?", value)):
            value = value + "x"  # still text where the schema wants a number or a pattern
        if p["in"] == "query" and not p.get("required") and draw(st.booleans()):
            value = ""  # an empty optional value counts as absent: try an unknown name instead
            values["no-such-parameter"] = draw(texts)
        values[p["name"]] = value
    elif kind == "body":
        if schema is None:
            body = json.dumps(draw(json_values.filter(lambda v: v not in ({}, None)))).encode()
        else:
            value = json.loads(json.dumps(example))
            how = draw(st.sampled_from(["field", "drop", "extra", "whole"] if isinstance(value, dict) else ["whole"]))
            if how == "field" and value:
                name = draw(st.sampled_from(sorted(value)))
                value[name] = draw(json_values)
            elif how == "drop" and value:
                value.pop(draw(st.sampled_from(sorted(value))))
            elif how == "extra":
                value[draw(st.text(min_size=1, max_size=12).filter(lambda k: k not in value))] = draw(json_values)
            else:
                value = draw(json_values)
            if path.endswith("/authorize") and isinstance(value, dict):
                number = draw(card_numbers)
                cards.append(number)
                value["number"] = draw(st.sampled_from([number, " ".join(re.findall(".{1,4}", number)), int(number)]))
            if fits(value, schema):
                value = [value]  # an array is no object: still refused
            body = json.dumps(value).encode()
    elif kind == "content-type":
        content_type = draw(st.sampled_from(["text/plain", "application/x-www-form-urlencoded", "", "application/xml"]))
    elif kind == "malformed":
        body = draw(st.sampled_from([b"{", b"{\"a\":}", b"\xff\xfe", b"[1,2", b"nul", b"{\"USERID\": \"\\ud800\"}"]))
    else:
        key = draw(st.sampled_from(["", "wrong", ctx["keys"]["shop"] + "x", ctx["keys"]["operator"]
                                    if ctx["role"](operation) != "operator" else ctx["keys"]["shop"]]))

    target = target_of(path, params, values)
    headers = {"Content-Type": content_type} if body or kind == "content-type" else {}
    if key:
        headers["Authorization"] = "Bearer " + key
    return method.upper(), target, headers, body, cards


def send(url, method, target, headers, body):
    request = urllib.request.Request(url + target, data=body if body or method in ("POST", "PUT") else None,
                                     method=method, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            return answer.status, answer.headers.get("Content-Type", ""), answer.read()
    except urllib.error.HTTPError as answer:
        return answer.code, answer.headers.get("Content-Type", ""), answer.read()


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def documented(operation, status, content_type, body):
    """Why the answer is not what the description says, or ""."""
    answers = operation["responses"]
    answer = resolved(answers.get(str(status)) or answers.get(str(status)[0] + "XX") or answers.get("default") or {})
    if not answer:
        return f"status {status} is not documented"
    media = answer.get("content", {}).get(content_type.split(";")[0])
    if "content" in answer and media is None:
        return f"Content-Type {content_type!r} is not documented"
    if media and content_type.startswith("application/json"):
        try:
            value = json.loads(body)
        except ValueError:
            return "the body is no JSON"
        errors = list(jsonschema.Draft202012Validator(media["schema"], resolver=RESOLVER).iter_errors(value))
        if errors:
            return f"the body does not fit: {errors[0].message[:200]}"
    return ""


def main():
    args = argparse.ArgumentParser()
    args.add_argument("--url", required=True)
    args.add_argument("--home", required=True)
    args.add_argument("--database", required=True)
    options = args.parse_args()
    urllib.request.install_opener(urllib.request.build_opener(NoRedirect))
    site = (pathlib.Path(options.home) / "config" / "SiteConfiguration.xml").read_text()
    found = dict(re.findall(r'"(\w+)ApiKey">([^<]*)<', site))
    keys = {"shop": found["Shop"], "operator": found["Operator"], "broker": found["Broker"], "public": ""}

    def role(operation):
        names = [n for requirement in operation.get("security", []) for n in requirement]
        return "shop" if "shopKey" in names else "operator" if "operatorKey" in names else \
            "broker" if "brokerKey" in names else "public"

    # a stored basket with a line, for the operations on one
    def call(method, target, value):
        return send(options.url, method, target, {"Authorization": "Bearer " + keys["shop"],
                                                  "Content-Type": "application/json"}, json.dumps(value).encode())
    status, _, body = call("POST", "/api/v1/baskets", {"USERID": "jdevries", "BUSINESSPARTNERID": 2})
    basket = json.loads(body)["header"]["BASKETID"]
    call("POST", f"/api/v1/baskets/{basket}/lines", {"SKU": 101, "QUANTITY": 5, "REQUESTDATE": "2027-01-10"})
    ctx = {"keys": keys, "role": role,
           "values": {"id": basket, "name": "FreightPartNumber", "component": "Pricing", "product": "101",
                      "partner": "2", "currency": "EUR", "effective": "2027-01-01", "date": "2027-01-10",
                      "country": "NL", "zip": "9711", "carrier": "ROAD", "to-zone": "1", "quantity": "5",
                      "locale": "1033", "limit": "10", "status": "0"}}

    fingerprint = Fingerprint(options.database)
    breaches, answered_500 = [], set()
    state = {"before": fingerprint()}
    counts = {}
    for path, item in DOC["paths"].items():
        for method in METHODS:
            operation = item.get(method)
            if not operation:
                continue
            name = f"{method.upper()} {path}"

            @settings(max_examples=EXAMPLES, derandomize=True, deadline=None, database=None,
                      phases=[Phase.explicit, Phase.generate],
                      suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
            @given(bad_request(path, method, operation, ctx))
            def probe(request):
                method_, target, headers, body, cards = request
                if name == "POST /api/v1/operator/batch":
                    headers["Authorization"] = "Bearer wrong"
                if name == "POST /login":
                    headers.pop("Authorization", None)
                    headers["Content-Type"] = "application/x-www-form-urlencoded"
                    body = urllib.parse.urlencode({"key": "wrong"}).encode()
                status, content_type, answer = send(options.url, method_, target, headers, body)
                counts.setdefault(name, {})[status] = counts.setdefault(name, {}).get(status, 0) + 1
                where = f"{name}: {method_} {target[:200]} {body[:300]!r} answered {status}"
                if status >= 500 and status != 502 and status != 503:
                    if name in EXPECTED_500:
                        answered_500.add(name)
                    else:
                        breaches.append(f"{where}: {answer[:300]!r}")
                why = documented(operation, status, content_type, answer)
                if why:
                    breaches.append(f"{where}: {why}")
                for number in cards:
                    if number.encode() in re.sub(rb"[^0-9]", b"", answer) or number.encode() in answer:
                        breaches.append(f"{where}: the card number came back")
                after = fingerprint()
                if 400 <= status < 500 and after != state["before"]:
                    breaches.append(f"{where}: the refusal changed the database")
                state["before"] = after

            for request in unknown_values(path, method, operation, ctx):
                probe = example(request)(probe)
            probe()

    for breach in breaches:
        print(breach)
    for name in sorted(EXPECTED_500 - answered_500):
        print(f"note: {name} answered no 500: it may leave EXPECTED_500")
    for name, statuses in counts.items():
        print(f"{name}: " + ", ".join(f"{n} x {status}" for status, n in sorted(statuses.items())))
    print(f"{sum(sum(s.values()) for s in counts.values())} bad requests to {len(counts)} operations; "
          f"{len(breaches)} breaches")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
