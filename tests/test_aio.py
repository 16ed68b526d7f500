"""kolta.aio: sessions driven from one event loop, events as async iterators."""

import asyncio
import warnings

import numpy as np
import pytest

from kolta import InitParams, PipelineState, TranscriptType, aio

RATE = 16000
CHUNK = RATE // 50


def run(coroutine, timeout=60):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


async def signed_in(storage):
    sdk = await aio.create_sdk(InitParams(storage_dir=str(storage)))
    result = await sdk.activate_api_key("KOLTA-DEMO-KEY")
    assert result.success
    return sdk


def speech_like(seconds, seed):
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    return (0.2 * np.sin(2 * np.pi * 300 * np.arange(n) / RATE)
            + 0.01 * rng.standard_normal(n)).astype(np.float32)


async def collect(queue):
    return [item async for item in queue]


def test_four_concurrent_sessions_on_one_loop(tmp_path, engine_env):
    async def session(sdk, seed):
        signal = speech_like(1.0, seed)
        processor = await sdk.open_processor("passthrough")
        states = asyncio.ensure_future(collect(processor.states))
        async with processor:
            pieces = [await processor.process(signal[i:i + 250])
                      for i in range(0, signal.size, 250)]
            pieces.append(await processor.finish())
        np.testing.assert_array_equal(np.concatenate(pieces), signal)
        return await states

    async def main():
        sdk = await signed_in(tmp_path)
        return await asyncio.gather(*(session(sdk, seed) for seed in range(4)))

    for states in run(main()):
        assert states == [PipelineState.TRYING, PipelineState.RUNNING,
                          PipelineState.NOT_RUNNING]


def test_transcripts_arrive_as_an_async_iterator(tmp_path, engine_env):
    async def main():
        sdk = await signed_in(tmp_path)
        processor = await sdk.open_processor("", translate=("en-US", "de-DE"))
        frames = asyncio.ensure_future(collect(processor.transcripts))
        quiet = np.zeros(RATE // 2, np.float32)
        for piece in (quiet, speech_like(1.2, 1), quiet):
            await processor.process(piece)
        await processor.finish()
        await processor.aclose()
        return await frames

    complete = [f for f in run(main()) if f.transcript_data_.complete]
    assert [(f.type_, f.transcript_data_.language_code_) for f in complete] == [
        (TranscriptType.TRANSCRIPTION, "en-US"), (TranscriptType.TRANSLATION, "de-DE")]


def test_a_consumer_that_falls_behind_loses_the_oldest(tmp_path, engine_env):
    engine_env.setenv("KOLTA_ENGINE_FAULTS", "transcript_flood=1000")

    async def main():
        sdk = await signed_in(tmp_path)
        processor = await sdk.open_processor("translate", translate=("en-US", "es-ES"),
                                             queue_size=10)
        await processor.aclose()  # every flooded frame is delivered by now
        frames = await collect(processor.transcripts)
        return frames, processor.transcripts.dropped

    frames, dropped = run(main())
    assert dropped == 990
    assert [f.transcript_data_.utterance_idx for f in frames] == list(range(990, 1000))


@pytest.mark.parametrize("waits_on", ["transcripts", "states", "process"])
def test_cancelling_the_consumer_closes_the_processor(tmp_path, engine_env, waits_on):
    async def main():
        sdk = await signed_in(tmp_path)
        processor = await sdk.open_processor("", translate=("en-US", "es-ES"))
        if waits_on == "process":
            async def stream_forever():
                chunk = speech_like(0.02, 2)
                while True:
                    await processor.process(chunk)
            consumer = asyncio.ensure_future(stream_forever())
        else:
            if waits_on == "states":
                await anext(processor.states)  # TRYING
                await anext(processor.states)  # RUNNING
            consumer = asyncio.ensure_future(collect(getattr(processor, waits_on)))
        await asyncio.sleep(0.05)
        consumer.cancel()
        with pytest.raises(asyncio.CancelledError):
            await consumer
        await processor.aclose()
        assert processor.closed
        with pytest.raises(RuntimeError, match="closed"):
            await processor.process(speech_like(0.1, 3))
        return await collect(processor.states)

    remaining = run(main())
    assert remaining[-1] == PipelineState.NOT_RUNNING


def complete_kinds(frames):
    return sorted(f.type_.name for f in frames if f.transcript_data_.complete)


@pytest.mark.parametrize("queue,summary,expected", [
    ("states", sorted, sorted([PipelineState.TRYING, PipelineState.RUNNING,
                               PipelineState.NOT_RUNNING])),
    ("transcripts", complete_kinds, ["TRANSCRIPTION", "TRANSLATION"]),
], ids=["states", "transcripts"])
def test_every_reader_of_a_queue_ends_when_the_processor_closes(tmp_path, engine_env, queue,
                                                                summary, expected):
    async def main():
        sdk = await signed_in(tmp_path)
        processor = await sdk.open_processor("", sampling_rate=RATE, translate=("en-US", "es-ES"))
        readers = [asyncio.ensure_future(collect(getattr(processor, queue)))
                   for _ in range(3)]
        await asyncio.sleep(0.05)  # every reader waits by now
        await processor.process(speech_like(0.5, 4))
        await processor.finish()
        await processor.aclose()
        return await asyncio.wait_for(asyncio.gather(*readers), 10)

    read = run(main())
    # Each event went to exactly one reader.
    assert summary([item for items in read for item in items]) == expected


def test_open_processor_warns_when_it_assumes_the_rate(tmp_path, engine_env):
    async def main():
        sdk = await signed_in(tmp_path)
        with pytest.warns(FutureWarning, match="no sampling_rate given, 16000 Hz assumed"):
            assumed = await sdk.open_processor("passthrough")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            stereo = await sdk.open_processor("passthrough", sampling_rate=44100, channels=2)
        frames = np.stack([speech_like(0.2, 5), speech_like(0.2, 6)], axis=1)  # (frames, 2)
        async with assumed, stereo:
            pieces = [await stereo.process(frames[i:i + 500]) for i in range(0, len(frames), 500)]
            pieces.append(await stereo.finish())
        np.testing.assert_array_equal(np.concatenate(pieces), frames)
        return (assumed.sampling_rate, assumed.channels), (stereo.sampling_rate, stereo.channels)

    assert run(main()) == ((16000, 1), (44100, 2))
