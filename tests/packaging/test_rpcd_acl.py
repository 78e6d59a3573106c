"""The rpcd ACL of the package: what a login section that names its access
group may call, worked out the way rpcd reads the files of
/usr/share/rpcd/acl.d when it sets up a session, and that the package
installs it where rpcd looks."""

import json
import re
from fnmatch import fnmatchcase
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "packaging" / "openwrt" / "kelvora"
ACL = PACKAGE / "files" / "kelvora.acl.json"
GROUP = "kelvora-status"
STATUS_METHODS = {("kelvora.ble", "status"), ("kelvora.ble", "nodes"),
                  ("kelvora.report", "status"), ("kelvora.mqtt", "status")}


def grants(acl, read=(), write=()):
    """(scope, object, function) triples that rpcd grants to a login whose
    `read` and `write` lists are given; write implies read. Entries of the
    wrong type are skipped, as rpcd skips them."""
    def allowed(perm, group):
        patterns = {"read": read, "write": write}[perm]
        if any(p.startswith("!") and p[1:].strip() and fnmatchcase(group, p[1:].strip()) for p in patterns):
            return False
        if any(p and not p.startswith("!") and fnmatchcase(group, p) for p in patterns):
            return True
        return perm == "read" and allowed("write", group)

    out = set()
    for group, perms in acl.items():
        if not isinstance(perms, dict):
            continue
        for perm, scopes in perms.items():
            if perm not in ("read", "write") or not isinstance(scopes, dict) or not allowed(perm, group):
                continue
            for scope, objects in scopes.items():
                if isinstance(objects, dict):
                    for obj, functions in objects.items():
                        if isinstance(functions, list):
                            out |= {(scope, obj, f) for f in functions if isinstance(f, str)}
                elif isinstance(objects, list):
                    out |= {(scope, obj, perm) for obj in objects if isinstance(obj, str)}
    return out


@pytest.fixture(scope="module")
def acl():
    text = ACL.read_text()
    value = json.loads(text)
    # rpcd reads the file with json-c into a blob: only an object at the top.
    assert isinstance(value, dict)
    return value


def test_read_access_grants_exactly_the_status_methods(acl):
    granted = grants(acl, read=[GROUP])
    ubus = {(obj, fn) for scope, obj, fn in granted if scope == "ubus"}
    assert ubus == STATUS_METHODS
    # Nothing beyond ubus calls: no files, no uci, no wildcards.
    assert {scope for scope, _, _ in granted} == {"ubus"}
    assert not any(ch in obj + fn for _, obj, fn in granted for ch in "*?[")


def test_group_is_read_only_and_described(acl):
    assert list(acl) == [GROUP]
    assert isinstance(acl[GROUP].get("description"), str) and acl[GROUP]["description"]
    assert set(acl[GROUP]) == {"description", "read"}
    # A login with write access to the group gets the same, and no more.
    assert grants(acl, write=[GROUP]) == grants(acl, read=[GROUP])


@pytest.mark.parametrize("read", [[], ["unauthenticated"], ["luci-*", "!kelvora-*"], ["!kelvora-status", "*"]])
def test_logins_without_the_group_get_nothing(acl, read):
    assert grants(acl, read=read) == set()


def test_wildcard_login_gets_the_methods(acl):
    assert {(o, f) for _, o, f in grants(acl, read=["*"])} == STATUS_METHODS


def test_package_installs_the_file_where_rpcd_reads_it():
    makefile = (PACKAGE / "Makefile").read_text()
    installs = re.findall(r"^\t\$\(INSTALL_DATA\) \./files/(\S+) \$\(1\)/usr/share/rpcd/acl\.d/(\S+)$",
                          makefile, re.M)
    assert installs == [(ACL.name, "kelvora.json")]
    # rpcd globs acl.d/*.json; the directory must be created first.
    assert re.search(r"^\t\$\(INSTALL_DIR\) .*\$\(1\)/usr/share/rpcd/acl\.d\b", makefile, re.M)


def test_grants_follow_rpcd_rules():
    # The helper itself, on the two notations rpcd accepts and the types it skips.
    acl = {"g": {"description": "x",
                 "read": {"ubus": {"a": ["m", 3], "b": "notalist"}, "uci": ["tavrin"]},
                 "write": {"ubus": {"c": ["set"]}},
                 "exec": {"ubus": {"d": ["x"]}}},
           "h": "notatable"}
    assert grants(acl, read=["g"]) == {("ubus", "a", "m"), ("uci", "tavrin", "read")}
    assert grants(acl, write=["g"]) == {("ubus", "a", "m"), ("uci", "tavrin", "read"),
                                        ("ubus", "c", "set")}
    # A denial in the read list wins over write; one in the write list does not undo read.
    assert grants(acl, read=["!g"], write=["g"]) == {("ubus", "c", "set")}
    assert ("ubus", "a", "m") in grants(acl, read=["g"], write=["!g"])
