"""Recognizers for Romanian and Moldovan identifiers (Presidio subclasses)."""
