"""Find personal data in Romanian and Moldovan documents and replace it by
numbered placeholders that can be restored later."""

__version__ = "0.1.0"
