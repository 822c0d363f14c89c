"""Data files read by the recognizers.

bic_registry.txt lists the bank identifier codes that BICRecognizer reports,
one code per line. It is generated from the Romanian and Moldovan bank
registries that schwifty ships (tools/generate_bic_registry.py); BIC detection
is only as complete as this list.
"""
