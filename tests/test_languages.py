"""kolta.languages, the package's copy of which languages the engine hears
and which pairs it translates, against the reference engine on recorded
speech: what the tables list gives words, what they leave out does not."""

import os
import sys
import threading

import numpy as np
import pytest

import _kolta_module as m
from kolta.languages import RECOGNISED, TRANSLATIONS, recognised, translation

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples"))
from clip import RATE  # noqa: E402
from speech_data import GOFORWARD, needs_goforward  # noqa: E402

PLACEHOLDER = "[reference engine] "
# Languages near the listed ones; those not listed must not be recognised,
# so a language dropped from the table shows up too.
CANDIDATES = {"en-US", "en-GB", "es-ES", "fr-FR", "de-DE"}
UNLISTED_LANGUAGES = sorted(CANDIDATES - set(RECOGNISED))
UNLISTED_PAIRS = sorted({(spoken, target) for spoken in RECOGNISED
                         for target in CANDIDATES} - set(TRANSLATIONS))

pytestmark = [needs_goforward,
              pytest.mark.timeout(120)]


def heard(sdk, language_in, language_out):
    """(transcripts, translations): the final texts for "go forward ten meters"."""
    speech = np.fromfile(GOFORWARD, "<i2").astype(np.float32) / 32768.0
    lead = np.zeros(RATE // 2, np.float32)
    signal = np.concatenate([lead, speech, lead])
    chunk = RATE // 50
    signal = np.concatenate([signal, np.zeros(-len(signal) % chunk, np.float32)])
    frames, lock = [], threading.Lock()

    def keep(frame):
        with lock:
            frames.append((frame.type_, [s.text for s in frame.transcript_data_.complete]))

    lt = m.LanguageTranslationConfig(language_in, language_out, callback=keep)
    with sdk.create_audio_processor(m.ProcessorAttributes(m.AudioAttributes(), lt)) as p:
        for i in range(0, len(signal), chunk):
            p.process_frame(m.AudioFrame(signal[i:i + chunk]))
        p.process_frame(m.AudioFrame(np.zeros(chunk, np.float32)))  # ends the utterance
    return tuple([text for kind, texts in frames if kind == wanted for text in texts]
                 for wanted in (m.TranscriptType.TRANSCRIPTION, m.TranscriptType.TRANSLATION))


@pytest.fixture
def recogniser_sdk(sdk, engine_env):
    engine_env.delenv("KOLTA_ENGINE_TRANSCRIPTS")
    return sdk


def test_the_tables_agree_and_look_names_up_in_any_case():
    assert all(recognised(spoken) == spoken for spoken, _ in TRANSLATIONS)
    for spoken, target in TRANSLATIONS:
        assert translation(spoken.upper(), target.lower()) == (spoken, target)
    assert recognised(RECOGNISED[0].lower()) == RECOGNISED[0]


@pytest.mark.parametrize("language", RECOGNISED)
def test_listed_language_is_recognised(recogniser_sdk, language):
    transcripts, _ = heard(recogniser_sdk, language, language)
    assert transcripts and not any(t.startswith(PLACEHOLDER) for t in transcripts), transcripts


@pytest.mark.parametrize("language", UNLISTED_LANGUAGES)
def test_unlisted_language_gets_placeholder_texts(recogniser_sdk, language):
    transcripts, _ = heard(recogniser_sdk, language, "en-US")
    assert transcripts and all(t.startswith(PLACEHOLDER) for t in transcripts), transcripts


@pytest.mark.parametrize("spoken, target", TRANSLATIONS)
def test_listed_pair_is_translated(recogniser_sdk, spoken, target):
    transcripts, translations = heard(recogniser_sdk, spoken, target)
    assert len(translations) == len(transcripts) == 1
    assert translations[0] and not translations[0].startswith(PLACEHOLDER)
    assert translations != transcripts


@pytest.mark.parametrize("spoken, target", UNLISTED_PAIRS)
def test_unlisted_pair_is_transcribed_only(recogniser_sdk, spoken, target):
    transcripts, translations = heard(recogniser_sdk, spoken, target)
    assert transcripts and translations == []
