"""The SDK the commands use: its storage folder, which key, the sign-in."""

from __future__ import annotations

import os
import re

from _kolta_module import InitParams, Sdk, create_sdk

from ..errors import BadInput
from ..storage import default_storage_dir

DEMO_KEY = "KOLTA-DEMO-KEY"
KEY_VARIABLE = "KOLTA_API_KEY"
KEY_FILE_VARIABLE = "KOLTA_API_KEY_FILE"  # a file holding the key: kept out of `ps` and env dumps
NO_KEY = f"no API key: give --api-key, or set {KEY_VARIABLE} or {KEY_FILE_VARIABLE}"

# The reference engine's keys as `kolta info` shows them. The engine decides
# (engine/key_scheme.cpp); tests/test_cli_keys.py holds the two together.
KEY_SCHEME = (
    (f"{DEMO_KEY}, kt_all", "signed in, every model"),
    ("kt_<m1>+<m2>...", "signed in, the listed models (e.g. kt_passthrough+denoise)"),
    ("fail_<error>", "refused with that error, e.g. fail_token_expired"),
    ("<key>@<ms>", "the same after a simulated delay of <ms> (0-10000)"),
    ('"" (empty)', "refused: NO_CREDENTIALS"),
    ("anything else", "refused: UNAUTHORIZED"),
)


def is_reference_engine(sdk: Sdk) -> bool:
    """The offline engine built with the module: it has the demo key."""
    return sdk.version.endswith("-reference")


def start_sdk(storage: str | None) -> Sdk:
    folder = storage or default_storage_dir()
    try:
        return create_sdk(InitParams(storage_dir=folder))
    except RuntimeError as error:
        raise BadInput(f"cannot use the storage folder {folder}: {error}") from None


def environment_key() -> str | None:
    """$KOLTA_API_KEY, else the first line of the file $KOLTA_API_KEY_FILE names."""
    key = os.environ.get(KEY_VARIABLE)
    path = os.environ.get(KEY_FILE_VARIABLE)
    if key is not None or path is None:
        return key
    try:
        with open(path, encoding="utf-8") as file:
            return file.readline().rstrip("\r\n")
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) else "not UTF-8 text"
        raise BadInput(f"cannot read the key file ${KEY_FILE_VARIABLE} names ({path}): "
                       f"{reason}") from None


def api_key(given: str | None, sdk: Sdk, no_key: str = NO_KEY) -> str:
    """`given`, else the environment's key, else the reference engine's demo
    key; `no_key` is the message when there is none."""
    key = given if given is not None else environment_key()
    if key is not None:
        return key
    if is_reference_engine(sdk):
        return DEMO_KEY
    raise BadInput(no_key)


# The reference engine's own messages start so ("sign-in refused (token_expired):
# the access token has expired"): said once, not twice.
_REFUSAL_PREFIX = re.compile(r"^sign-in refused \([^)]*\):\s*")


def sign_in(sdk: Sdk, given_key: str | None, no_key: str = NO_KEY) -> None:
    result = sdk.activate_api_key(api_key(given_key, sdk, no_key))
    if not result.success:  # the key itself is never shown
        reason = _REFUSAL_PREFIX.sub("", result.message, count=1) or "no reason given"
        raise BadInput(f"sign-in refused ({result.error_type.name}): {reason}")


# How create_audio_processor says it gave no processor (the module's message).
NO_PROCESSOR = "returned no processor"


def processor_refused(error: Exception, model: str, what: str | None = None) -> BadInput:
    """A failure to open or run a `model` processor, after a successful
    sign-in. With the attributes naming a model the engine has, no processor
    means that the key does not grant it; anything else is told as `what`
    (by default "'<model>' processor") and the error."""
    if isinstance(error, RuntimeError) and NO_PROCESSOR in str(error):
        return BadInput(f"the API key does not grant the '{model}' model")
    return BadInput(f"{what or repr(model) + ' processor'}: {error}")


def signed_in_sdk(storage: str | None, given_key: str | None, no_key: str = NO_KEY) -> Sdk:
    sdk = start_sdk(storage)
    sign_in(sdk, given_key, no_key)
    return sdk
