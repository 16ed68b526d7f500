"""Which spoken languages the engine recognises and which pairs it translates.

For any other spoken language the reference engine gives placeholder texts
that describe the audio, not its words; for any other pair it transcribes
without translating. tests/test_languages.py holds these tables to it."""

from __future__ import annotations

# Spoken languages with a recogniser model (pocketsphinx).
RECOGNISED = ("en-US",)
# (spoken, target) pairs with a translator (Apertium). Its es -> en has no
# spoken Spanish to start from: there is no Spanish recogniser.
TRANSLATIONS = (("en-US", "es-ES"),)


def recognised(language: str) -> str | None:
    """The table's spelling of `language` (case aside), or None."""
    return next((known for known in RECOGNISED if known.lower() == language.lower()), None)


def translation(language_in: str, language_out: str) -> tuple[str, str] | None:
    """The table's spelling of the pair (case aside), or None."""
    wanted = (language_in.lower(), language_out.lower())
    return next((pair for pair in TRANSLATIONS
                 if (pair[0].lower(), pair[1].lower()) == wanted), None)


def describe_pairs() -> str:
    return ", ".join(f"{spoken} -> {target}" for spoken, target in TRANSLATIONS)
