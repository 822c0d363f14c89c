// Names every host and module agrees on: the default models, the default
// language-model server, and the shape of a placeholder. Exported to Python
// by the modules that use them (tarnis.analyzer.DEFAULT_GLINER_MODEL, ...).
#pragma once

namespace tarnis::core::defaults {

// The neural recognizer's model on the model hub.
inline constexpr const char* kGlinerModel = "knowledgator/gliner-multitask-large-v0.5";
// The Romanian spaCy pipeline (tokens, part-of-speech tags, sentences).
inline constexpr const char* kSpacyModel = "ro_core_news_sm";
// The small language model and the OpenAI-compatible server that serves it.
inline constexpr const char* kSlmModel = "qwen3.5:9b";
inline constexpr const char* kSlmUrl = "http://localhost:11434/v1";

// A placeholder such as [PERSON_NAME_1], written as Python's `re` writes it.
inline constexpr const char* kPlaceholderPattern = R"(\[[A-Z_]+_\d+\])";
inline constexpr const char32_t* kPlaceholderPattern32 = UR"(\[[A-Z_]+_\d+\])";

}  // namespace tarnis::core::defaults
