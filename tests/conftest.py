import os
import pathlib
import sys

import pytest

FIXTURES = pathlib.Path(__file__).parent / "fixtures"

# What a Python subprocess needs from the environment under `make sanitize` (tools/run-sanitized):
# the preloaded sanitizer runtimes and their options, without which the instrumented module does
# not load. Outside that run none of them is set.
SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                       "QUARL_UBSAN_REPORT_PATH")


def sanitizer_env():
    """The sanitizer variables of this process, for tests that give a subprocess an environment of
    its own."""
    return {name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ}


@pytest.fixture
def fixture_modules(monkeypatch):
    """use(group) puts tests/fixtures/<group> first on sys.path and returns that folder; modules
    imported from it are dropped from sys.modules afterwards, so groups may reuse module names."""
    roots = []

    def use(group):
        root = (FIXTURES / group).resolve()
        monkeypatch.syspath_prepend(str(root))
        roots.append(root)
        return root

    yield use
    for name, module in list(sys.modules.items()):
        origin = getattr(module, "__file__", None)
        if origin and any(pathlib.Path(origin).resolve().is_relative_to(r) for r in roots):
            del sys.modules[name]


# --- object stores -----------------------------------------------------------------------------------

# The end-to-end tests on moto's S3 server and on Dask clusters run where QUARL_SLOW_E2E=1 is set:
# once in CI (one interpreter, not under the sanitizers), as a person asks for them.
slow_e2e = pytest.mark.skipif(os.environ.get("QUARL_SLOW_E2E") != "1",
                              reason="an end-to-end test on object storage: set QUARL_SLOW_E2E=1")


def _installed(name):
    import importlib.util

    return importlib.util.find_spec(name) is not None


needs_s3 = pytest.mark.skipif(not (_installed("s3fs") and _installed("moto")),
                              reason="no s3 extra (s3fs) or no moto server")


# moto's ThreadedMotoServer in a process of its own: in the tests' process, its threads would
# share one interpreter with the readers and writers that the tests start.
_MOTO = """\
import logging, sys
from moto.server import ThreadedMotoServer
logging.getLogger("werkzeug").setLevel(logging.ERROR)
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print("%s:%d" % server.get_host_and_port(), flush=True)
sys.stdin.read()
server.stop()
"""


@pytest.fixture(scope="session")
def moto_endpoint():
    """moto's S3 server on 127.0.0.1 (a free port), for the session."""
    import subprocess

    server = subprocess.Popen([sys.executable, "-c", _MOTO], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, env={**os.environ, **sanitizer_env()})
    try:
        address = server.stdout.readline().strip()
        assert address, "moto's server did not start"
        yield f"http://{address}"
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


@pytest.fixture
def s3(moto_endpoint, monkeypatch, tmp_path):
    """A fresh bucket on the moto server, with the environment that botocore reads set in this
    process (and given to subprocesses through `s3.env`); this machine's cache of outputs is a
    folder of the test's own."""
    import secrets

    import boto3

    env = {"AWS_ENDPOINT_URL": moto_endpoint, "AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
           "AWS_DEFAULT_REGION": "us-east-1", "XDG_CACHE_HOME": str(tmp_path / "cache")}
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    bucket = f"quarl-{secrets.token_hex(6)}"
    boto3.client("s3").create_bucket(Bucket=bucket)
    return S3Fixture(bucket, env)


class S3Fixture:
    def __init__(self, bucket, env):
        self.bucket = bucket
        self.env = env

    def url(self, prefix="out"):
        return f"s3://{self.bucket}/{prefix}"

    def keys(self, prefix=""):
        import boto3

        pages = boto3.client("s3").get_paginator("list_objects_v2").paginate(Bucket=self.bucket, Prefix=prefix)
        return sorted(item["Key"] for page in pages for item in page.get("Contents", []))
