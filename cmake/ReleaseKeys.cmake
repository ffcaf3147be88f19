# Release keys and TLS roots built into a program: a small library per set, so that the same
# code links with the vendor's (QVB_RELEASE_KEYS, QVB_TLS_ROOTS), with none, or with those made
# for the tests.

find_program(QVB_OPENSSL openssl)

# qvb_release_keys_library(NAME "a.pem;b.pem" ["ca.pem;..."]): NAME defines
# EmbeddedReleaseKeyPems() with the PEM texts of at most two ECDSA P-256 public keys, and
# EmbeddedTlsRootPems() with at most four PEM CA certificates.
function(qvb_release_keys_library name files)
  set(roots "${ARGN}")
  list(LENGTH roots root_count)
  if(root_count GREATER 4)
    message(FATAL_ERROR "${name}: at most four TLS roots, got ${root_count}")
  endif()
  set(root_items "")
  foreach(file IN LISTS roots)
    file(READ "${file}" pem)
    if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----")
      message(FATAL_ERROR "${file} is not a PEM certificate")
    endif()
    if(NOT QVB_OPENSSL)
      message(FATAL_ERROR "${name}: the openssl command is needed to check ${file}")
    endif()
    execute_process(COMMAND ${QVB_OPENSSL} x509 -in "${file}" -noout -text
                    OUTPUT_VARIABLE text ERROR_QUIET)
    if(NOT text MATCHES "CA:TRUE")
      message(FATAL_ERROR "${file} is not a CA certificate")
    endif()
    string(APPEND root_items "        R\"qvbkey(${pem})qvbkey\",\n")
  endforeach()
  list(LENGTH files count)
  if(count GREATER 2)
    message(FATAL_ERROR "${name}: at most two release keys, got ${count}")
  endif()
  set(items "")
  foreach(file IN LISTS files)
    file(READ "${file}" pem)
    if(NOT pem MATCHES "-----BEGIN PUBLIC KEY-----")
      message(FATAL_ERROR "${file} is not a PEM public key (openssl ec -pubout)")
    endif()
    # A key nobody checked could be of any kind; the build stops rather than embed it.
    if(NOT QVB_OPENSSL)
      message(FATAL_ERROR "${name}: the openssl command is needed to check ${file}")
    endif()
    execute_process(COMMAND ${QVB_OPENSSL} pkey -pubin -in "${file}" -noout -text
                    OUTPUT_VARIABLE text ERROR_QUIET)
    if(NOT text MATCHES "prime256v1")
      message(FATAL_ERROR "${file} is not an ECDSA P-256 public key")
    endif()
    string(APPEND items "        R\"qvbkey(${pem})qvbkey\",\n")
  endforeach()
  set(source ${CMAKE_BINARY_DIR}/keys/${name}.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT
       "// Made by CMake from the release keys and TLS roots.\n#include \"update/ReleaseKeys.h\"\n\nstd::vector<std::string> EmbeddedReleaseKeyPems() {\n    return {\n${items}    };\n}\n\nstd::vector<std::string> EmbeddedTlsRootPems() {\n    return {\n${root_items}    };\n}\n")
  add_library(${name} STATIC ${source})
  target_link_libraries(${name} PUBLIC qvbcore)
endfunction()

# Key pairs for the tests, made in the build tree when it is configured (never committed):
# a and b are built into the signed test programs, c is a key they do not know; tls-ca is the
# root those programs trust for https (the tests make server certificates from it).
# Whether a certificate's ECDSA P-256 signature has an r and an s of the full 32 bytes. Wine's
# crypt32 rejects a shorter one (about one signature in a hundred, as signing is random), and
# a test root so signed would fail every https test under Wine in that build tree.
function(qvb_signature_full_length cert out)
  execute_process(COMMAND ${QVB_OPENSSL} x509 -in ${cert} -noout -text OUTPUT_VARIABLE text
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE ".*Signature Value:" "" signature "${text}")
  string(REGEX REPLACE "[^0-9a-fA-F]" "" signature "${signature}")
  string(TOLOWER "${signature}" signature)
  set(whole TRUE)
  set(at 4) # past the SEQUENCE's tag and length, in hex digits
  foreach(integer r s)
    math(EXPR lengthAt "${at} + 2")
    string(SUBSTRING "${signature}" ${lengthAt} 2 lengthHex)
    math(EXPR length "0x${lengthHex}")
    math(EXPR valueAt "${at} + 4")
    string(SUBSTRING "${signature}" ${valueAt} 2 first)
    if(NOT ((length EQUAL 33 AND first STREQUAL "00") OR
            (length EQUAL 32 AND NOT first STREQUAL "00")))
      set(whole FALSE)
    endif()
    math(EXPR at "${valueAt} + 2 * ${length}")
  endforeach()
  set(${out} ${whole} PARENT_SCOPE)
endfunction()

function(qvb_make_test_keys dir)
  if(NOT QVB_OPENSSL)
    return()
  endif()
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${dir}/tls-ca.pem)
    foreach(attempt RANGE 20)
      execute_process(COMMAND ${QVB_OPENSSL} req -x509 -newkey ec
                              -pkeyopt ec_paramgen_curve:prime256v1 -nodes
                              -keyout ${dir}/tls-ca.key -out ${dir}/tls-ca.pem -days 3650
                              -subj "/CN=QVBrelmox test CA"
                              -addext "basicConstraints=critical,CA:TRUE"
                              -addext "keyUsage=critical,keyCertSign,cRLSign"
                      ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
      qvb_signature_full_length(${dir}/tls-ca.pem whole)
      if(whole)
        break()
      endif()
    endforeach()
  endif()
  foreach(k a b c)
    if(NOT EXISTS ${dir}/${k}.pub.pem)
      execute_process(COMMAND ${QVB_OPENSSL} ecparam -name prime256v1 -genkey -noout
                              -out ${dir}/${k}.pem COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND ${QVB_OPENSSL} ec -in ${dir}/${k}.pem -pubout
                              -out ${dir}/${k}.pub.pem ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
endfunction()
