"""asyncio front end: nothing here blocks the event loop.

Blocking calls (start-up, sign-in, processor creation, processing, closing)
run in the loop's default executor. Pipeline states and transcripts arrive on
the library's threads; each is handed to the loop with
`loop.call_soon_threadsafe` and put in a bounded `EventQueue`, read with
`async for`. When a consumer falls behind and its queue is full, the oldest
undelivered item is discarded and counted in `EventQueue.dropped`: the
library's thread never waits for the loop. Several tasks may read one queue:
each item goes to one of them, and all of them end when the processor closes.
"""

from __future__ import annotations

import asyncio
import collections
import threading
import warnings
from collections.abc import Callable
from types import TracebackType
from typing import Generic, TypeVar

import numpy.typing as npt

import _kolta_module

from _kolta_module import (AudioAttributes, AudioProcessor, InitParams,
                           LanguageTranslationConfig, PipelineState, ProcessorAttributes,
                           Sdk, SdkResult, TextFrame)

from .streams import AlignedStream, Samples

_create_sdk = _kolta_module.create_sdk

T = TypeVar("T")
DEFAULT_QUEUE_SIZE = 256
# What `open_processor` assumes when not told; it warns, as audio at any other
# rate would be processed (and transcribed) as if it were at this one.
ASSUMED_RATE = 16000


class EventQueue(Generic[T]):
    """Items from library threads, read on the loop with `async for`.

    Holds at most `maxsize` items; when full, the oldest is dropped (counted
    in `dropped`). Iteration ends once the processor is closed and every
    item queued before that has been read, for every task reading it."""

    def __init__(self, loop: asyncio.AbstractEventLoop, maxsize: int,
                 on_cancel: Callable[[], object] | None = None):
        if maxsize < 1:
            raise ValueError("maxsize must be at least 1")
        self._loop = loop
        self._maxsize = maxsize
        self._items: collections.deque[T] = collections.deque()
        # One future per waiting reader: a new item or the close wakes all
        # of them, and those that find nothing left wait again.
        self._waiters: list[asyncio.Future[None]] = []
        self._closed = False
        self._on_cancel = on_cancel
        self.dropped = 0

    def put_threadsafe(self, item: T) -> None:
        """Called on any thread; never blocks."""
        try:
            self._loop.call_soon_threadsafe(self._put, item)
        except RuntimeError:  # the loop is closed: nobody is left to read it
            pass

    def __len__(self) -> int:
        return len(self._items)

    def _put(self, item: T) -> None:
        if self._closed:
            return
        if len(self._items) >= self._maxsize:
            self._items.popleft()
            self.dropped += 1
        self._items.append(item)
        self._wake()

    def _close(self) -> None:
        self._closed = True
        self._wake()

    def _wake(self) -> None:
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_result(None)

    def __aiter__(self) -> EventQueue[T]:
        return self

    async def __anext__(self) -> T:
        while not self._items:
            if self._closed:
                raise StopAsyncIteration
            waiter = self._loop.create_future()
            self._waiters.append(waiter)
            try:
                await waiter
            except asyncio.CancelledError:
                if self._on_cancel is not None:
                    self._on_cancel()
                raise
            finally:
                self._waiters.remove(waiter)
        return self._items.popleft()


class AsyncProcessor:
    """One processor driven from asyncio. Feed it with `process`, end the
    stream with `finish`, read `states` and `transcripts` with `async for`.
    Cancelling a task that waits in `process`, `finish` or on one of the
    queues closes the processor."""

    def __init__(self, loop: asyncio.AbstractEventLoop, sampling_rate: int, channels: int,
                 queue_size: int):
        self._loop = loop
        self.states: EventQueue[PipelineState] = EventQueue(loop, queue_size, self._cancelled)
        self.transcripts: EventQueue[TextFrame] = EventQueue(loop, queue_size, self._cancelled)
        self._rate = sampling_rate
        self._channels = channels
        self._processor: AudioProcessor | None = None
        self._stream: AlignedStream | None = None
        self._lock = threading.Lock()  # one engine call at a time; close waits
        self._closing: asyncio.Future[None] | None = None

    def _attach(self, processor: AudioProcessor) -> None:
        self._processor = processor
        self._stream = AlignedStream(processor, self._rate, self._channels)

    @property
    def sampling_rate(self) -> int:
        """The rate the processor was opened for: `process` takes audio at it."""
        return self._rate

    @property
    def channels(self) -> int:
        return self._channels

    @property
    def closed(self) -> bool:
        return self._closing is not None

    async def process(self, samples: npt.ArrayLike) -> Samples:
        """Output that is ready for these samples (aligned, maybe empty)."""
        return await self._run(lambda stream: stream.feed(samples))

    async def finish(self) -> Samples:
        """The rest of the output; the total then equals the input's length."""
        return await self._run(lambda stream: stream.finish())

    async def _run(self, step: Callable[[AlignedStream], Samples]) -> Samples:
        if self._closing is not None:
            raise RuntimeError("processor is closed")

        def call() -> Samples:
            with self._lock:
                if self._stream is None:
                    raise RuntimeError("processor is closed")
                return step(self._stream)

        try:
            return await self._loop.run_in_executor(None, call)
        except asyncio.CancelledError:
            self._cancelled()
            raise

    def _cancelled(self) -> None:
        self._start_closing()

    def _start_closing(self) -> asyncio.Future[None]:
        if self._closing is None:
            self._closing = asyncio.ensure_future(self._close_in_thread(), loop=self._loop)
        return self._closing

    async def _close_in_thread(self) -> None:
        def close() -> None:
            with self._lock:
                processor, self._processor, self._stream = self._processor, None, None
            if processor is not None:
                processor.close()  # delivers what is queued, then returns

        try:
            await self._loop.run_in_executor(None, close)
        finally:
            # After the deliveries close() made: call_soon keeps their order.
            self._loop.call_soon(self.states._close)
            self._loop.call_soon(self.transcripts._close)

    async def aclose(self) -> None:
        """Closes the processor (idempotent); the queues then end."""
        await asyncio.shield(self._start_closing())

    async def __aenter__(self) -> AsyncProcessor:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        await self.aclose()


class AsyncSdk:
    """An SDK whose blocking calls run off the event loop."""

    def __init__(self, sdk: Sdk):
        self.sdk = sdk

    @property
    def version(self) -> str:
        return self.sdk.version

    async def activate_api_key(self, api_key: str) -> SdkResult:
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(None, self.sdk.activate_api_key, api_key)

    async def open_processor(self, model: str = "denoise", *, sampling_rate: int | None = None,
                             channels: int = 1, translate: tuple[str, str] | None = None,
                             queue_size: int = DEFAULT_QUEUE_SIZE) -> AsyncProcessor:
        """Opens a processor for audio at `sampling_rate` (without it: 16000
        Hz, with a FutureWarning); `translate=("en-US", "es-ES")` runs
        translation (then `model` may be "translate" or empty)."""
        if sampling_rate is None:
            warnings.warn(f"open_processor: no sampling_rate given, {ASSUMED_RATE} Hz assumed; "
                          "audio at another rate would be processed as if it were at "
                          "this one. Pass the audio's rate (sampling_rate=...)",
                          FutureWarning, stacklevel=2)
            sampling_rate = ASSUMED_RATE
        loop = asyncio.get_running_loop()
        result = AsyncProcessor(loop, sampling_rate, channels, queue_size)
        states, transcripts = result.states, result.transcripts

        def on_state(state: PipelineState) -> None:
            states.put_threadsafe(state)

        def on_transcript(frame: TextFrame) -> None:
            transcripts.put_threadsafe(frame)

        audio = AudioAttributes(sampling_rate=sampling_rate, channels=channels,
                                model_name=model, audio_pipeline_state_notify=on_state)
        lt = None
        if translate is not None:
            lt = LanguageTranslationConfig(translate[0], translate[1], callback=on_transcript)
        attrs = ProcessorAttributes(audio, lt)
        try:
            processor = await loop.run_in_executor(None, self.sdk.create_audio_processor, attrs)
        except BaseException:
            states._close()
            transcripts._close()
            raise
        result._attach(processor)
        return result


async def create_sdk(init_params: InitParams | None = None) -> AsyncSdk:
    """Starts the SDK in the executor (start-up may take a while)."""
    params = init_params if init_params is not None else InitParams()
    loop = asyncio.get_running_loop()
    return AsyncSdk(await loop.run_in_executor(None, _create_sdk, params))
