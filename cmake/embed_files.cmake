# Writes a C++ source that holds files as byte arrays:
#   cmake -DOUTPUT=<source> -DFOLDER=<dir> -DFILES=<a;b;...> -P embed_files.cmake
# gives `const embedded::File embedded::kConsoleFiles[]` and `kConsoleFileCount`,
# each file by its name relative to FOLDER.
set(arrays "")
set(table "")
set(index 0)
foreach(path ${FILES})
  file(RELATIVE_PATH name "${FOLDER}" "${path}")
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes} 0x00};\n")
  string(APPEND table "    {\"${name}\", std::string_view(reinterpret_cast<const char*>(kFile${index}), ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${FOLDER}; edit those files, not this one.\n"
  "#include \"http/console_files.h\"\n\n"
  "namespace embedded {\nnamespace {\n${arrays}}  // namespace\n\n"
  "const File kConsoleFiles[] = {\n${table}};\n"
  "const size_t kConsoleFileCount = ${index};\n"
  "}  // namespace embedded\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
