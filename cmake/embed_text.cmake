# Writes a C++ source that holds a text file as a constant:
#   cmake -DINPUT=<file> -DOUTPUT=<source> -DNAME=<constant> -P embed_text.cmake
# gives `const std::string_view embedded::<constant>` with the file's bytes.
file(READ "${INPUT}" content)
string(FIND "${content}" ")EMBEDDED\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the text )EMBEDDED\" that ends the embedded string")
endif()
file(WRITE "${OUTPUT}"
  "// Generated at build time from ${INPUT}; edit that file, not this one.\n"
  "#include <string_view>\n\n"
  "namespace embedded {\n"
  "extern const std::string_view ${NAME};\n"
  "const std::string_view ${NAME} = R\"EMBEDDED(${content})EMBEDDED\";\n"
  "}  // namespace embedded\n")
