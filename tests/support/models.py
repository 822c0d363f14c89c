"""Local stand-ins for the models the package loads by name.

The real GLiNER model and the Romanian spaCy pipeline come from download
sites; tests and benchmarks build small local ones instead and pass their
folders where a model name is expected, so the real loading code runs.

Import this module before anything imports transformers or huggingface_hub
(presidio_analyzer does), so that hub access is switched off in time.
"""

from __future__ import annotations

import os

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

from pathlib import Path  # noqa: E402

# Words the tiny tokenizer knows whole; other words are spelt out in the
# letters, digits and signs of _ALPHABET, and words with any other character
# become [UNK], which a randomly initialised model handles as well as any
# other token.
_VOCABULARY_TEXT = (
    "Subsemnatul Ion Popescu Maria Ionescu Ștefan Șerban Țugui Andrei Elena domiciliat locuiește în strada "
    "str. bulevardul Mihai Eminescu Florilor Unirii nr. bl. ap. sc. et. Cluj-Napoca București Iași Chișinău "
    "lucrează la SC Exemplu SRL SA Banca Transilvania contractul părțile semnatare prezentul obiect preț plata "
    "termen obligațiile vânzătorul cumpărătorul se obligă să respecte clauzele utilizator parola user admin "
    "person organization street address username password company name . , ; : ( ) - / 0 1 2 3 4 5 6 7 8 9"
)
_ALPHABET = ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyzĂÂÎȘȚăâîșț0123456789"
             ".,;:()-/@+_'\"%&=#*!?")
_SPECIAL_TOKENS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]


def _wordpiece_vocabulary() -> dict[str, int]:
    """The tokenizer's vocabulary, the same in every process: the special
    tokens, every character of the alphabet as a word start and as a
    continuation ("##a"), then the words of the vocabulary text in the order
    they first appear. (A trained WordPiece vocabulary differs between runs
    from one seed, and with it the whole model.)"""
    from tokenizers import normalizers, pre_tokenizers

    text = normalizers.BertNormalizer(lowercase=False).normalize_str(_VOCABULARY_TEXT)
    words = [word for word, _ in pre_tokenizers.BertPreTokenizer().pre_tokenize_str(text)]
    pieces = [*_SPECIAL_TOKENS, *sorted(_ALPHABET), *("##" + c for c in sorted(_ALPHABET)), *words]
    return {piece: index for index, piece in enumerate(dict.fromkeys(pieces))}


def build_tiny_gliner(out_dir: str | os.PathLike, *, seed: int = 0, hidden_size: int = 32,
                      max_len: int = 384) -> Path:
    """Build a tiny randomly initialised GLiNER model and save it to
    `out_dir` (created if needed). Returns the folder, loadable with
    `GLiNER.from_pretrained(str(folder))` without network access."""
    import torch
    from gliner import GLiNER
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors
    from transformers import BertConfig, BertModel, PreTrainedTokenizerFast

    out = Path(out_dir)
    encoder_dir = out.parent / (out.name + "-encoder")
    torch.manual_seed(seed)

    tok = Tokenizer(models.WordPiece(_wordpiece_vocabulary(), unk_token="[UNK]"))
    tok.normalizer = normalizers.BertNormalizer(lowercase=False)
    tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tok.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", pair="[CLS] $A [SEP] $B [SEP]",
        special_tokens=[("[CLS]", tok.token_to_id("[CLS]")), ("[SEP]", tok.token_to_id("[SEP]"))])
    fast = PreTrainedTokenizerFast(tokenizer_object=tok, unk_token="[UNK]", pad_token="[PAD]", cls_token="[CLS]",
                                   sep_token="[SEP]", mask_token="[MASK]", model_max_length=512)
    fast.save_pretrained(encoder_dir)
    # GLiNER adds its own marker tokens to the vocabulary; leave room for them.
    config = BertConfig(vocab_size=len(fast) + 8, hidden_size=hidden_size, num_hidden_layers=1,
                        num_attention_heads=2, intermediate_size=2 * hidden_size, max_position_embeddings=512)
    BertModel(config).save_pretrained(encoder_dir)

    model = GLiNER.from_config({"model_name": str(encoder_dir), "hidden_size": hidden_size, "max_width": 12,
                                "max_len": max_len, "span_mode": "markerV0"}, backbone_from_pretrained=False)
    model.save_pretrained(out, safe_serialization=True)
    return out


# Part-of-speech rules of the blank pipeline: enough for code that asks
# whether a token is a proper noun, a common noun, a number or punctuation.
_POS_RULES = [
    ([[{"IS_PUNCT": True}]], "PUNCT"),
    ([[{"LIKE_NUM": True}]], "NUM"),
    ([[{"IS_ALPHA": True, "IS_LOWER": True}]], "NOUN"),
    ([[{"IS_TITLE": True}]], "PROPN"),
    ([[{"IS_ALPHA": True, "IS_UPPER": True}]], "PROPN"),
]


def build_blank_ro_spacy(out_dir: str | os.PathLike, *, pos_rules=None) -> Path:
    """Save a blank Romanian spaCy pipeline with a sentencizer and an
    attribute ruler that sets part-of-speech tags (`pos_rules`: a list of
    (patterns, POS) pairs, applied in order, later rules winning; by default
    title-case and all-capital words are PROPN, lower-case words NOUN).
    Returns the folder, loadable with `spacy.load(str(folder))`."""
    import spacy

    nlp = spacy.blank("ro")
    nlp.add_pipe("sentencizer")
    ruler = nlp.add_pipe("attribute_ruler")
    for patterns, pos in (_POS_RULES if pos_rules is None else pos_rules):
        ruler.add(patterns=patterns, attrs={"POS": pos})
    out = Path(out_dir)
    nlp.to_disk(out)
    return out
