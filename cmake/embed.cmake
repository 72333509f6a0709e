# Turns a file into a C array, so that a program carries it inside:
#   cmake -DIN=file -DOUT=file.c -DNAME=symbol -P embed.cmake
# gives `const unsigned char NAME[]` (NUL-terminated) and `const size_t NAMESize`.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}.tmp" "#include <stddef.h>\nconst unsigned char ${NAME}[] = {${bytes}0};\nconst size_t ${NAME}Size = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
