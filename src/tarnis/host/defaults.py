"""Defaults every front shares: the models, the language-model server, the
options of the analysis, and the shape of a placeholder.

Each value is defined here once; a front reads it from here (and shows it in
its help), so that the command, the worker processes and Spark never differ.
"""

from __future__ import annotations

import re

from tarnis.defaults import (DEFAULT_GLINER_MODEL, DEFAULT_SLM_MODEL, DEFAULT_SLM_URL, DEFAULT_SPACY_MODEL,
                             PLACEHOLDER_PATTERN)

LANGUAGE = "ro"

# The models the analyzer loads when none is named (DEFAULT_GLINER_MODEL,
# DEFAULT_SPACY_MODEL) and the language-model server and model
# (DEFAULT_SLM_URL, DEFAULT_SLM_MODEL) are the library's own.

GLINER_BACKENDS = ("torch", "onnx", "onnx-int8")
DEFAULT_GLINER_BACKEND = "torch"
DEFAULT_GLINER_BATCH_SIZE = 1
# Where names of persons and organizations come from: the neural model, the
# spaCy pipeline's own named-entity recognizer, or both.
NER_SOURCES = ("gliner", "spacy", "both")
DEFAULT_NER = "gliner"

# The language-model stages: what to do when the model fails, and how long
# to wait.
SLM_ON_FAILURE = ("accept", "reject", "error")
DEFAULT_SLM_ON_FAILURE = "accept"
SLM_LOG_FOLDER = "slm-logs"
DEFAULT_SLM_TIMEOUT = 120.0
# The openai client's own tries of a request (1 + its default max_retries),
# the fallback's attempts per batch request, and the review's per part.
CLIENT_TRIES, VERIFY_ATTEMPTS, REVIEW_ATTEMPTS = 3, 5, 3
# Documents analyzed before their doubtful detections go to the model in one
# shared stream of batches.
VERIFY_GROUP = 32

# A placeholder as anonymize_text writes it: [TYPE_N].
PLACEHOLDER = re.compile(PLACEHOLDER_PATTERN)


def placeholder_type(placeholder: str) -> str:
    """The entity type of a placeholder: `[PERSON_NAME_2]` -> `PERSON_NAME`."""
    return placeholder[1:].rsplit("_", 1)[0]
