# The part of llama.cpp's `common` library that the local server uses: chat
# templates with tools (its Jinja engine and the native tool formats), the
# parsing of replies into content, reasoning and tool calls, and JSON Schema
# to grammar. Built from the pinned source as its own static target, without
# the downloader, argument parser and console, which would bring a second
# copy of the HTTP library and nothing this program needs.
set(CVN_LLAMA_COMMON_DIR "${LLAMA_CPP_DIR}/common")
include("${CVN_LLAMA_COMMON_DIR}/parsers/sources.cmake")

# The build facts common.cpp prints; this program never asks for them.
set(LLAMA_BUILD_NUMBER 0)
set(LLAMA_BUILD_COMMIT "pinned")
set(BUILD_COMPILER "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
set(BUILD_TARGET "${CMAKE_SYSTEM_PROCESSOR}")
configure_file("${CVN_LLAMA_COMMON_DIR}/build-info.cpp.in" "${CMAKE_BINARY_DIR}/cvn_llama_common/build-info.cpp")

set(CVN_LLAMA_COMMON_SOURCES
  chat-auto-parser-generator.cpp
  chat-auto-parser-helpers.cpp
  chat-diff-analyzer.cpp
  chat-peg-parser.cpp
  chat.cpp
  common.cpp
  debug.cpp
  fit.cpp
  json-schema-to-grammar.cpp
  json-schema.cpp
  json.cpp
  log.cpp
  ngram-cache.cpp
  ngram-map.cpp
  ngram-mod.cpp
  peg-parser.cpp
  reasoning-budget.cpp
  sampling.cpp
  speculative.cpp
  trie.cpp
  unicode.cpp
  jinja/caps.cpp
  jinja/lexer.cpp
  jinja/parser.cpp
  jinja/runtime.cpp
  jinja/string.cpp
  jinja/value.cpp)
list(TRANSFORM CVN_LLAMA_COMMON_SOURCES PREPEND "${CVN_LLAMA_COMMON_DIR}/")
list(FILTER LLAMA_CHAT_PARSERS_SOURCES INCLUDE REGEX "\\.cpp$")

add_library(cvn_llama_common STATIC
  ${CVN_LLAMA_COMMON_SOURCES}
  ${LLAMA_CHAT_PARSERS_SOURCES}
  "${CMAKE_BINARY_DIR}/cvn_llama_common/build-info.cpp")
target_include_directories(cvn_llama_common SYSTEM PUBLIC "${CVN_LLAMA_COMMON_DIR}")
target_compile_features(cvn_llama_common PUBLIC cxx_std_17)
target_compile_options(cvn_llama_common PRIVATE -w)
target_link_libraries(cvn_llama_common PUBLIC llama vendor::nlohmann vendor::sheredom Threads::Threads)
