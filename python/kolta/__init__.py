"""Python package around the Kolta streaming speech-audio SDK.

Everything the extension `_kolta_module` offers is re-exported here, plus:

- `kolta.streams`: push chunks of any size and dtype, get output aligned
  sample for sample with the input; `open_processor` opens a processor
  whose format the stream then takes;
- `denoise` and `transcribe`: a whole recording in one call;
- `kolta.aio`: the same from asyncio, with states and transcripts as async
  iterators;
- the `kolta` command line (`python -m kolta`).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from _kolta_module import AudioAttributes as AudioAttributes
from _kolta_module import AudioFrame as AudioFrame
from _kolta_module import AudioProcessor as AudioProcessor
from _kolta_module import CloudInferencingParams as CloudInferencingParams
from _kolta_module import InitParams as InitParams
from _kolta_module import LanguageTranslationConfig as LanguageTranslationConfig
from _kolta_module import PipelineState as PipelineState
from _kolta_module import ProcessorAttributes as ProcessorAttributes
from _kolta_module import Sdk as Sdk
from _kolta_module import SdkErrorType as SdkErrorType
from _kolta_module import SdkResult as SdkResult
from _kolta_module import TextFrame as TextFrame
from _kolta_module import TranscriptData as TranscriptData
from _kolta_module import TranscriptSegment as TranscriptSegment
from _kolta_module import TranscriptType as TranscriptType
from _kolta_module import create_sdk as create_sdk

import _kolta_module

from .processor_formats import open_processor as open_processor

if TYPE_CHECKING:
    from .one_call import Segment as Segment
    from .one_call import denoise as denoise
    from .one_call import transcribe as transcribe
    from .streams import AlignedStream as AlignedStream
    from .streams import process_stream as process_stream

# The bindings' version (the generated stub does not declare it).
__version__: str = getattr(_kolta_module, "__version__")


def __getattr__(name: str) -> Any:
    # The stream helpers load NumPy on first use, not at `import kolta`: the
    # command line starts its worker processes before paying for that import.
    if name in ("AlignedStream", "process_stream"):
        from . import streams

        return getattr(streams, name)
    if name in ("Segment", "denoise", "transcribe"):
        from . import one_call

        return getattr(one_call, name)
    raise AttributeError(f"module 'kolta' has no attribute {name!r}")


__all__ = [
    "AlignedStream", "AudioAttributes", "AudioFrame", "AudioProcessor",
    "CloudInferencingParams", "InitParams", "LanguageTranslationConfig", "PipelineState",
    "ProcessorAttributes", "Sdk", "SdkErrorType", "SdkResult", "Segment", "TextFrame",
    "TranscriptData", "TranscriptSegment", "TranscriptType", "__version__", "create_sdk",
    "denoise", "open_processor", "process_stream", "transcribe",
]
