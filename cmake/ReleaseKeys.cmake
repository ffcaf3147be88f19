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
function(qvb_make_test_keys dir)
  if(NOT QVB_OPENSSL)
    return()
  endif()
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${dir}/tls-ca.pem)
    execute_process(COMMAND ${QVB_OPENSSL} req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1
                            -nodes -keyout ${dir}/tls-ca.key -out ${dir}/tls-ca.pem -days 3650
                            -subj "/CN=QVBrelmox test CA" -addext "basicConstraints=critical,CA:TRUE"
                            -addext "keyUsage=critical,keyCertSign,cRLSign"
                    ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
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
