"""ZeltoHybridClient and fork(): a child never uses the connection or the runtime it inherited."""

from __future__ import annotations

import uuid

import pytest

from hybrid_peer import Peer, create_region, remove_region, run_client_script

# A call in the parent, a fork, and in the child either nothing or a call; the child exits the
# ordinary way, so the inherited client is destroyed there. Then another call in the parent.
FORK = r"""
import os, sys
import zelto_sdk

client = zelto_sdk.ZeltoHybridClient(sys.argv[1], sys.argv[2])
print(client.infer([1], "u8", b"p"), flush=True)
pid = os.fork()
if pid == 0:
    if sys.argv[3] == "calls":
        try:
            client.infer([1], "u8", b"c")
        except RuntimeError as e:
            print("child:", e, flush=True)
    del client
    sys.exit(0)
print("child exit:", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
print(client.infer([1], "u8", b"q"), flush=True)
"""

IN_OTHER_PROCESS = ("This client was created in another process; create a new one in this "
                    "process")


@pytest.fixture(scope="module")
def peer():
    region = "zelto-hybrid-fork-" + uuid.uuid4().hex[:12]
    create_region(region)
    p = Peer(region)
    yield region, p
    p.stop()
    remove_region(region)


@pytest.mark.parametrize("child,said", [
    ("leaves it", []),
    ("calls", ["child: " + IN_OTHER_PROCESS]),
])
def test_forked_child_never_uses_the_inherited_client(peer, child, said):
    region, p = peer
    lines = run_client_script(FORK, region, p.path, child)
    assert lines == ["[112]", *said, "child exit: 0", "[113]"]
    # Only the parent's two calls reached the server.
    first, second = (p.next_request().request_id for _ in range(2))
    assert second == first + 1
    assert p.pending_requests() == 0
