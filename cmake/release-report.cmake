# Prints the release program's size, the part of it that is program rather than
# embedded container, and its SHA-256; fails when the program part is over the
# limit. Run after the link:
#   cmake -DPROGRAM=EXE -DCONTAINER=KFS -DLIMIT_KIB=N -P release-report.cmake
file(SIZE "${PROGRAM}" program_size)
file(SIZE "${CONTAINER}" container_size)
math(EXPR code_size "${program_size} - ${container_size}")
math(EXPR limit "${LIMIT_KIB} * 1024")
math(EXPR code_kib "(${code_size} + 1023) / 1024")
file(SHA256 "${PROGRAM}" digest)
get_filename_component(name "${PROGRAM}" NAME)
message(STATUS "${name}: ${program_size} bytes; embedded container ${container_size} bytes; "
               "the rest ${code_size} bytes (${code_kib} KiB, limit ${LIMIT_KIB} KiB)")
message(STATUS "${name}: SHA-256 ${digest}")
if(code_size GREATER limit)
  message(FATAL_ERROR "${name}: ${code_size} bytes without the container, over the limit of ${LIMIT_KIB} KiB")
endif()
