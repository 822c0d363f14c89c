"""Small-language-model stages: verification of doubtful detections
(`tarnis.slm.fallback`) and a review of anonymized text for missed names
(`tarnis.slm.review`), both against a local OpenAI-compatible server."""
