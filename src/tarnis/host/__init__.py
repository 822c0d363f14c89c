"""The host layer: what every front of tarnis (the command, Spark, a service) shares.

    defaults    the models, the language-model server, the options' defaults, the placeholder's shape
    errors      UsageError, DocumentError, and how messages name files
    config      EngineConfig: what an analyzer is built from and what each analysis asks of it
    engines     the analyzers (full, spaCy names, rules only), their model checks and remedies
    pipeline    the road of one document, from its analysis to the outputs a front writes
    slm         the language-model stages (verification, review) and their statistics
    maps        the map file: the entity map with the fingerprint of its text
    documents   Word and PDF documents read, anonymized and restored
    _library    the library's private names still used, each in one adapter

A front adds only what is its own (arguments and a console, Arrow batches,
HTTP) and imports from here; fronts never import each other.
"""
