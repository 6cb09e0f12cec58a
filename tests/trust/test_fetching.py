"""The package's HTTP client, as the trust layer and the command use it.

Real loopback servers throughout. To stand for an issuer on the public
network, one test treats the issuer server's own address as public: no
loopback server can show that otherwise.
"""

from __future__ import annotations

import io
import pickle
import socket
import threading

import pytest

from quorvel_trellane import cli
from quorvel_trellane.testing import IssuerServer, b64u
from quorvel_trellane.trust import FetchError, IssuerTrust, _addresses

KEYS = "/.well-known/pqc-keys.json"


ISSUER_DID = "did:example:fetching"  # the module's own test issuer (conftest's issuer fixture)


@pytest.fixture
def bystander():
    """A loopback listener standing for a service inside the relying party's network."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        accepted: list[object] = []

        def run() -> None:
            try:
                while True:
                    connection, _ = listener.accept()
                    accepted.append(connection)
                    connection.close()
            except OSError:
                pass

        threading.Thread(target=run, daemon=True).start()
        yield listener.getsockname()[1], accepted
        listener.shutdown(socket.SHUT_RDWR)


REDIRECT_TARGETS = [
    "https://127.0.0.1:{port}/internal/admin",
    "https://localhost:{port}/internal/admin",  # a name resolving to loopback
    "https://127.1:{port}/",
    "https://2130706433:{port}/",
    "https://0.0.0.0:{port}/",
    "https://[::1]:{port}/",
    "https://[::ffff:127.0.0.1]:{port}/",
    "https://10.1.2.3:{port}/",
    "https://192.168.0.1:{port}/",
    "https://169.254.169.254/latest/meta-data/",
    "https://[fe80::1]:{port}/",
]


@pytest.mark.parametrize("target", REDIRECT_TARGETS)
def test_a_public_issuer_never_sends_the_client_into_the_relying_partys_network(monkeypatch, issuer, bystander, target):
    port, accepted = bystander
    with IssuerServer(issuer) as server:
        issuer_port = int(server.url.rsplit(":", 1)[1])
        internal = _addresses._internal_address
        monkeypatch.setattr(
            _addresses,
            "_internal_address",
            lambda sockaddr: tuple(sockaddr[:2]) != ("127.0.0.1", issuer_port) and internal(sockaddr),
        )
        server.routes[KEYS] = (302, b"", {"Location": target.format(port=port)})
        with IssuerTrust(server.url, allow_http=True, timeout=2.0) as trust:
            assert trust.keys() == {}
            error = trust.status().key_set.last_error or ""
    assert "an internal address" in error, error
    assert accepted == []


def test_an_issuer_inside_the_network_may_redirect_within_it(issuer, bystander):
    port, accepted = bystander
    with IssuerServer(issuer) as server:
        server.routes[KEYS] = (302, b"", {"Location": f"https://localhost:{port}/keys.json"})
        with IssuerTrust(server.url, timeout=2.0) as trust:
            assert trust.keys() == {}
            assert "internal address" not in (trust.status().key_set.last_error or "")
    assert len(accepted) == 1  # connected, then the TLS handshake failed


@pytest.mark.parametrize(
    ("host", "loopback"),
    [
        ("localhost", True),
        ("LocalHost.", True),
        ("issuer.localhost", True),
        ("a.b.localhost", True),
        ("127.0.0.1", True),
        ("127.9.9.9", True),
        ("[::1]", True),
        ("localhost.example", False),
        ("notlocalhost", False),
        ("10.0.0.1", False),
        ("issuer.example", False),
    ],
)
def test_the_trust_layer_and_the_command_agree_on_what_is_this_machine(host, loopback):
    url = f"http://{host}:8080"
    if loopback:
        IssuerTrust(url).close()
    else:
        with pytest.raises(ValueError, match="only https"):
            IssuerTrust(url)
    err = io.StringIO()  # a credential that is no passport: the list is never fetched
    cli.main(["verify", b64u(b"[1]"), "--crl", f"{url}/crl.json"], stdout=io.StringIO(), stderr=err)
    assert ("is plain http" in err.getvalue()) is not loopback


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_a_fetch_error_survives_a_pickle_round_trip_with_its_url_and_reason(protocol):
    error = FetchError("https://issuer.example/\x1b[2J", "HTTP 503 Service Unavailable")
    back = pickle.loads(pickle.dumps(error, protocol=protocol))
    assert (type(back), back.url, back.reason, str(back)) == (FetchError, error.url, error.reason, str(error))
