# KALWAKE_SANITIZE applies to every target of the build, the library and its tests alike.
if(KALWAKE_SANITIZE)
  string(REPLACE ";" "," _kalwake_sanitizers "${KALWAKE_SANITIZE}")
  add_compile_options(-fsanitize=${_kalwake_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_kalwake_sanitizers})
endif()
