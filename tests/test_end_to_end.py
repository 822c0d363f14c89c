"""A Romanian contract through Presidio's real AnalyzerEngine with every
rule-based recognizer, then overlap resolution, denylist filtering,
anonymization, propagation and exact restoration."""

from __future__ import annotations

from presidio_analyzer.predefined_recognizers import (CreditCardRecognizer, EmailRecognizer, IpRecognizer,
                                                      UrlRecognizer)

from tarnis.processing import (anonymize_text, deanonymize_text, filter_entity_denylist, postprocess_anonymized,
                               resolve_overlaps)
from tarnis.recognizers.bic import BICRecognizer
from tarnis.recognizers.cnp import CnpRecognizer
from tarnis.recognizers.code import CodeRecognizer
from tarnis.recognizers.domivia import RomanianStreetAddressRecognizer
from tarnis.recognizers.iban import CustomIbanRecognizer
from tarnis.recognizers.phone import CustomPhoneRecognizer

DOCUMENT = """CONTRACT DE ÎNCHIRIERE nr. 12/2024

Între Ion Popescu, CNP: 1850101123456... și Maria Ionescu, C.N.P. 2900202123457, s-a încheiat prezentul contract.
Garant: Ştefan Şerban (cnp 1234567890128), domiciliat în str. Ismail 45, Chișinău, MD-2001, tel. +373 22 123456.
Chiria se plătește în contul RO49AAAA1B31 0075 9384 0000 deschis la BTRLRO22, sau MD24 AG00 0225 1000 1310 4168.
Locatarul (telefon 0721 234 567, e-mail locatar@example.ro) confirmă că numărul 1234567890128 îi aparține;
numărul din anexă este greșit. Autoturism CJ 12 ABC, dosar 1234/211/2023, MAC AA:BB:CC:DD:EE:FF.
Domiciliul locatorului: Bd. Unirii 3, sector 3, București.
"""

IDENTIFIERS = ["1850101123456", "2900202123457", "1234567890128", "Ismail 45", "+373 22 123456",
               "RO49AAAA1B31 0075 9384 0000", "BTRLRO22", "MD24 AG00 0225 1000 1310 4168", "0721 234 567",
               "locatar@example.ro", "CJ 12 ABC", "1234/211/2023", "AA:BB:CC:DD:EE:FF", "Unirii 3"]


def test_contract_round_trip(ro_engine):
    engine = ro_engine([RomanianStreetAddressRecognizer(), EmailRecognizer(supported_language="ro"),
                        CustomPhoneRecognizer(), CustomIbanRecognizer(supported_language="ro"),
                        CreditCardRecognizer(supported_language="ro"), IpRecognizer(supported_language="ro"),
                        UrlRecognizer(supported_language="ro"), BICRecognizer(), CodeRecognizer(), CnpRecognizer()])
    results = engine.analyze(DOCUMENT, language="ro")
    kept = filter_entity_denylist(DOCUMENT, resolve_overlaps(results, DOCUMENT))
    anonymized, entity_map = anonymize_text(DOCUMENT, kept)
    anonymized = postprocess_anonymized(anonymized, entity_map)

    for identifier in IDENTIFIERS:
        assert identifier not in anonymized, identifier
    assert {"CNP", "IBAN_CODE", "BIC", "PHONE_NUMBER", "EMAIL_ADDRESS", "DOMIVIA", "CODE"} <= set(entity_map)
    assert deanonymize_text(anonymized, entity_map) == DOCUMENT
