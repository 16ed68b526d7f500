"""Raw bytes against a running kolta-server (Hypothesis, bounded): every input
gets one well-formed answer naming an SdkErrorType member, or none, and never
costs the service its health; it stops cleanly afterwards."""

import json
import socket

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _kolta_module as m
from service_process import exchange, parse_response

pytestmark = pytest.mark.stress

ERROR_NAMES = set(m.SdkErrorType.__members__)
# The browser page is the one thing served that is not JSON.
PAGE_TYPES = {"text/html; charset=utf-8", "text/javascript; charset=utf-8",
              "text/css; charset=utf-8"}

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=12)
json_bodies = st.one_of(
    st.dictionaries(st.sampled_from(["api_key", "token", "x"]), json_values, max_size=3)
    .map(lambda d: json.dumps(d).encode()),
    json_values.map(lambda v: json.dumps(v).encode()),
    st.binary(max_size=300))


@st.composite
def requests(draw):
    """Mostly HTTP-shaped requests with damaged parts, some plain noise."""
    if draw(st.integers(0, 4)) == 0:
        return draw(st.binary(max_size=2048))
    method = draw(st.sampled_from([b"GET", b"POST", b"PUT", b"DELETE", b"HEAD", b"OPTIONS"])
                  | st.binary(min_size=1, max_size=8))
    path = draw(st.sampled_from([b"/v1/sign-in", b"/v1/token/verify", b"/v1/health", b"/",
                                 b"/v1/sign-in?x=1"]) | st.binary(max_size=40))
    body = draw(json_bodies)
    length = draw(st.sampled_from([str(len(body)).encode(), b"0", b"-1", b"99999999999",
                                   b"x", str(len(body) + 5).encode()]))
    headers = draw(st.lists(st.tuples(st.binary(max_size=20), st.binary(max_size=60)),
                            max_size=4))
    version = draw(st.sampled_from([b"HTTP/1.1", b"HTTP/1.0", b"HTTP/2.0", b"HTTP/1.1 x"]))
    head = method + b" " + path + b" " + version + b"\r\nContent-Length: " + length + b"\r\n"
    head += b"".join(name + b": " + value + b"\r\n" for name, value in headers)
    return head + b"\r\n" + body


@pytest.fixture
def fuzz_service(kolta_server):
    return kolta_server("--test-keys", "--read-timeout-ms", "2000", "--max-failures", "0")


@settings(max_examples=200, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=requests())
@example(data=b"GET / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}")
@example(data=b"HEAD / HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
def test_raw_requests_get_a_clear_answer_and_the_service_stays_healthy(fuzz_service, data):
    with socket.create_connection(("127.0.0.1", fuzz_service.port), timeout=10) as sock:
        try:
            received = exchange(sock, data, timeout=10, half_close=True)
        except (BrokenPipeError, ConnectionResetError):
            received = b""
    answer = parse_response(received)
    if answer is not None:
        status, headers, body = answer
        if status == 200 and headers["content-type"] in PAGE_TYPES:
            assert body and headers["x-content-type-options"] == "nosniff"
        else:
            assert headers["content-type"] == "application/json"
            decoded = json.loads(body)
            if status != 200:
                assert decoded["error"] in ERROR_NAMES and decoded["message"], decoded
    assert fuzz_service.request("GET", "/v1/health")[0] == 200
