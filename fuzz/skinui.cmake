# Skin markup parser and image descriptor parser.
add_library(fuzz_skinui STATIC
  ${ZPV_ROOT}/SkinUI/skin_values.cpp ${ZPV_ROOT}/SkinUI/skin_markup.cpp
  ${ZPV_ROOT}/SkinUI/skin_image_desc.cpp ${ZPV_ROOT}/app/core/utf8.cpp)
target_compile_options(fuzz_skinui PRIVATE -fsanitize=fuzzer-no-link)
zpv_add_fuzzer(fuzz_skinui_markup fuzz_skinui_markup.cpp fuzz_skinui)
