# Writes OUTPUT, a C++ file defining `const char* const NAME` as the text of
# INPUT, so that the OpenCL kernels travel inside the program.
# Run as: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P EmbedText.cmake
file(READ "${INPUT}" text)
set(delimiter "ZENTROVA_CL")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "namespace zentrova {\n"
  "extern const char* const ${NAME};\n"
  "const char* const ${NAME} = R\"${delimiter}(${text})${delimiter}\";\n"
  "}  // namespace zentrova\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
