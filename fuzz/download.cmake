# HTTP response header collection, parsing and acceptance, and redirect targets.
zpv_add_fuzzer(fuzz_http_header ${CMAKE_CURRENT_LIST_DIR}/fuzz_http_header.cpp zpv_http)
# Seeds: a ranged answer with body bytes, and a redirect (first byte: the split pattern).
set(_dl_corpus ${CMAKE_BINARY_DIR}/corpus/fuzz_http_header)
if(NOT EXISTS ${_dl_corpus}/seed-206)
  file(WRITE ${_dl_corpus}/seed-206
       "\tHTTP/1.1 206 Partial Content\r\nContent-Type: application/zip\r\nContent-Length: 10\r\nContent-Range: bytes 0-9/10\r\n\r\n0123456789")
  file(WRITE ${_dl_corpus}/seed-302 "3HTTP/1.1 302 Found\r\nLocation: http://h:8080/p/u.zip\r\n\r\n")
endif()
if(NOT EXISTS ${_dl_corpus}/seed-302-tls)
  file(WRITE ${_dl_corpus}/seed-302-tls "3HTTP/1.1 301 Moved\r\nLocation: https://h/p/u.zip\r\n\r\n")
endif()
