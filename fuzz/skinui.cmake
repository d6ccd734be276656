# Skin markup parser and image descriptor parser.
zpv_add_fuzzer(fuzz_skinui_markup fuzz_skinui_markup.cpp skinui_core)
