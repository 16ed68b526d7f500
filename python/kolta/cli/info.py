"""`kolta info`: versions, models, formats, languages, where the key comes from, the keys."""

from __future__ import annotations

import argparse
import os

from .. import __version__
from ..formats import MODELS, SUPPORTED_CHANNELS, SUPPORTED_RATES
from ..languages import RECOGNISED, describe_pairs
from ..storage import default_storage_dir
from .signin import (DEMO_KEY, KEY_FILE_VARIABLE, KEY_SCHEME, KEY_VARIABLE, is_reference_engine,
                     start_sdk)


def run_info(args: argparse.Namespace) -> int:
    import soundfile

    sdk = start_sdk(args.storage)
    formats = ", ".join(sorted(soundfile.available_formats()))
    print(f"kolta {__version__}; SDK (engine) {sdk.version}")
    print(f"storage folder: {args.storage or default_storage_dir()}")
    print(f"models: {', '.join(MODELS)}")
    print(f"engine formats: {', '.join(map(str, SUPPORTED_RATES))} Hz; "
          f"{' or '.join(map(str, SUPPORTED_CHANNELS))} channels; other rates are "
          "resampled to the nearest supported one and back")
    print(f"speech: recognised {', '.join(RECOGNISED)}; translated {describe_pairs()}")
    print(f"file formats (libsndfile {soundfile.__libsndfile_version__}): {formats}")
    source = "--api-key" if args.api_key is not None else next(
        (f"${name}" for name in (KEY_VARIABLE, KEY_FILE_VARIABLE) if name in os.environ),
        "none given")
    print(f"API key: {source} (never shown)")
    if is_reference_engine(sdk):
        print(f"reference engine keys (with no --api-key, ${KEY_VARIABLE} or "
              f"${KEY_FILE_VARIABLE}: {DEMO_KEY}):")
        for key, meaning in KEY_SCHEME:
            print(f"  {key:<24} {meaning}")
    return 0
