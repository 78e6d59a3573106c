"""The sandbox itself: files bound over paths the host may lack, and services
that fail to start saying why."""

import pytest

from sandbox import SandboxError


def inside(sandbox, path):
    r = sandbox.run(["cat", str(path)])
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_binds_over_missing_files_leave_the_host_untouched(sandbox, tmp_path):
    d = tmp_path / "etc"
    d.mkdir()
    (d / "present").write_text("host\n")
    sources = {}
    for name in ("present", "missing", "missing-too"):
        sources[name] = tmp_path / f"{name}.src"
        sources[name].write_text(f"bound {name}\n")

    sandbox.bind(sources["present"], d / "present")
    sandbox.bind(sources["missing"], d / "missing")      # the directory becomes an overlay
    sandbox.bind(sources["missing-too"], d / "missing-too")  # the overlay is reused

    for name in sources:
        assert inside(sandbox, d / name) == f"bound {name}\n"
    assert sorted(p.name for p in d.iterdir()) == ["present"]
    assert (d / "present").read_text() == "host\n"


def test_host_names_resolve_through_a_bound_hosts_file(sandbox, tmp_path):
    # A minimal root has no /etc/hosts to mount over.
    hosts = tmp_path / "hosts"
    hosts.write_text("127.0.0.1 localhost\n127.0.0.7 cloud.invalid\n")
    sandbox.bind(hosts, "/etc/hosts")
    r = sandbox.run(["getent", "hosts", "cloud.invalid"])
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["127.0.0.7", "cloud.invalid"]


def test_bind_of_a_missing_source_fails_with_the_mount_error(sandbox, tmp_path):
    with pytest.raises(SandboxError, match="could not bind .* over /etc/hosts: .+"):
        sandbox.bind(tmp_path / "no-such-file", "/etc/hosts")


def test_a_service_that_does_not_start_reports_its_output_and_status(sandbox):
    # ubusd cannot make its socket where a plain file stands.
    r = sandbox.run(["sh", "-c", "rmdir /var/run/ubus && touch /var/run/ubus"])
    assert r.returncode == 0, r.stderr
    with pytest.raises(SandboxError) as failure:
        sandbox.start_ubusd()
    message = str(failure.value)
    assert message.startswith("ubusd did not start (exit status ")
    assert "ubusd: socket: Not a directory" in message

    proc = sandbox.spawn(["sh", "-c", "echo line one; echo 'line two' >&2; exit 3"])
    proc.wait(timeout=10)
    message = str(sandbox.not_started("helper did not start", proc))
    assert message == "helper did not start (exit status 3); its output:\nline one\nline two"


def test_the_secret_check_finds_a_configured_secret_in_a_log_or_an_output_file(sandbox):
    from conftest import configured_secrets, secret_leaks

    sandbox.write_config("tavrin", "config auth 'auth'\n\toption access_token 'old-token-1'\n")
    sandbox.write_config("tavrin", "config auth 'auth'\n\toption access_token \"tok'en-2\"\n\n"
                                   "config mqtt 'mqtt'\n\toption password 'pw-12'\n")
    staged = sandbox.workdir / "uci-delta"
    staged.mkdir()
    (staged / "tavrin").write_text("tavrin.mqtt.password='pw-staged'\n")
    # The replaced token counts too; a password of five characters does not.
    assert configured_secrets(sandbox) == {"old-token-1": "access_token", "tok'en-2": "access_token",
                                           "pw-staged": "password"}
    assert secret_leaks(sandbox) == []

    log = sandbox.path("/var/log/report.1.log")
    log.write_text("... Authorization: Bearer tok'en-2 ... pw-12\n")
    output = sandbox.workdir / "kelvora-mqtt-app.3.out"
    output.write_text("connecting with pw-staged\n")
    assert set(secret_leaks(sandbox)) == {"/var/log/report.1.log: access_token", f"{output}: password"}

    # Clean again, or the check at the sandbox's close fails this test.
    log.unlink()
    output.unlink()
    assert secret_leaks(sandbox) == []
