"""The OpenWrt feed in packaging/openwrt: every package its Makefiles depend
on is one of the feed's own or is listed in the feed's README with the
official feed and Makefile that provide it (each checked there by hand), and
every version is one that apk accepts."""

import re
from pathlib import Path

import pytest

FEED = Path(__file__).resolve().parents[2] / "packaging" / "openwrt"
MAKEFILES = sorted(FEED.glob("*/Makefile"))
OFFICIAL = {"openwrt/openwrt", "openwrt/packages"}

# apk's version grammar (apk-tools src/version.c):
# digit{.digit}...{letter}{_suffix{#}}...{~hash}; the release goes after "-r".
APK_VERSION = re.compile(r"[0-9]+(\.[0-9]+)*[a-z]?(_(alpha|beta|pre|rc|cvs|svn|git|hg|p)[0-9]*)*(~[0-9a-f]+)?")


def text(makefile):
    return makefile.read_text().replace("\\\n", " ")


def variable(makefile, name):
    found = re.findall(rf"^{name}\s*:?=\s*(\S*)\s*$", text(makefile), re.M)
    return found[0] if found else None


def depends(makefile):
    """{(kind, name)} of the DEPENDS and PKG_BUILD_DEPENDS entries."""
    out = set()
    for kind, value in re.findall(r"^\s*(PKG_BUILD_DEPENDS|DEPENDS)\s*\+?:?=(.*)$", text(makefile), re.M):
        for token in value.split():
            if token.startswith("@"):
                continue
            name = token.lstrip("+").split(":")[-1]  # +CONDITION:name
            out.add((kind, name))
    return out


def packages(makefile):
    return set(re.findall(r"^define Package/([^/\s]+)$", makefile.read_text(), re.M))


def readme_rows():
    """{name: (feed, path)} from the dependency table of the README."""
    rows = {}
    for line in (FEED / "README.md").read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[0].startswith("`"):
            path = re.search(r"`([^`]+)`", cells[3])
            rows[cells[0].strip("`")] = (cells[2], path.group(1) if path else "")
    return rows


def test_every_dependency_comes_from_this_feed_or_a_documented_official_one():
    own = {p for m in MAKEFILES for p in packages(m)}
    sources = {variable(m, "PKG_NAME") for m in MAKEFILES}
    rows = readme_rows()
    used = {(kind, name, m.parent.name) for m in MAKEFILES for kind, name in depends(m)}
    assert used, "no dependency found: the Makefiles were not read"
    for kind, name, package in sorted(used):
        # Run time needs a package; a build dependency may name a source.
        if name in own or (kind == "PKG_BUILD_DEPENDS" and name.split("/")[0] in sources):
            assert rows.get(name, ("this feed",))[0] == "this feed", name
            continue
        assert name in rows, f"{package}: {kind} {name} is neither in this feed nor in the README's table"
        feed, path = rows[name]
        assert feed in OFFICIAL and path.endswith("Makefile"), (name, feed, path)
    # The table holds no entry that nothing uses, and this feed's rows point
    # at the Makefile that defines the package.
    assert set(rows) == {name for _, name, _ in used}
    for name, (feed, path) in rows.items():
        if feed == "this feed":
            makefile = FEED / path
            assert name in packages(makefile) | {variable(makefile, "PKG_NAME")}, (name, path)


@pytest.mark.parametrize("makefile", MAKEFILES, ids=lambda m: m.parent.name)
def test_versions_are_apks_and_sources_are_pinned(makefile):
    version, release = variable(makefile, "PKG_VERSION"), variable(makefile, "PKG_RELEASE")
    assert version and APK_VERSION.fullmatch(version), version
    assert release and release.isdigit(), release
    if variable(makefile, "PKG_SOURCE_URL"):
        assert re.fullmatch(r"[0-9a-f]{64}", variable(makefile, "PKG_HASH") or ""), makefile
