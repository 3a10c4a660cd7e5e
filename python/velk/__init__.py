"""velk: the round trip of a developer's text through a language model, on top of the
``velk_anonymizer`` extension module.

- :class:`Conversation`: a conversation's token map, kept in a session file shared safely by
  several processes; anonymize a message, restore a reply or a streamed reply.
- :class:`StreamRestorer`: restores a text that arrives in chunks, never emitting part of a
  token.
- :func:`anonymize_corpus`: one set of tokens over a whole corpus, the work spread over
  processes or a Dask cluster.
- :func:`anonymize` and :func:`extra_entities`: the module's detectors, plus what they miss
  (phone numbers of every country, whole keys and tokens, people, companies and places of many
  countries), handed to the module as custom entities.
- Importing ``velk`` makes ``TokenMap``, ``Entity`` and ``EntityType`` picklable.
- The command ``velk`` (``python -m velk``): ``anonymize``, ``restore`` and ``tokens``.
"""

from velk.corpus import CorpusError, CorpusResult, anonymize_corpus
from velk.extra import anonymize, extra_entities
from velk.pickling import register as _register_pickling
from velk.session import Conversation, SessionError, SessionFile
from velk.stream import StreamRestorer

__all__ = [
    "Conversation",
    "CorpusError",
    "CorpusResult",
    "SessionError",
    "SessionFile",
    "StreamRestorer",
    "anonymize",
    "anonymize_corpus",
    "extra_entities",
]

_register_pickling()
