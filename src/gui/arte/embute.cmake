# Writes a C++ source that holds the bytes of a file as an array.
# cmake -DENTRADA=<file> -DSAIDA=<file.cpp> -DNOME=<symbol> -P embute.cmake
file(READ "${ENTRADA}" hex HEX)
string(LENGTH "${hex}" comprimento)
math(EXPR tamanho "${comprimento} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${SAIDA}.tmp"
  "// Generated from ${ENTRADA}; do not edit.\n"
  "#include \"gui/FundoJpeg.h\"\n"
  "namespace mirelo_app {\n"
  "const unsigned char ${NOME}[] = {${bytes}};\n"
  "const std::size_t ${NOME}Tamanho = ${tamanho};\n"
  "}  // namespace mirelo_app\n")
file(RENAME "${SAIDA}.tmp" "${SAIDA}")
