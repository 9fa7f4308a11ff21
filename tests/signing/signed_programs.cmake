# The test programs signed as a publisher would: signing/<file>.<signer>.exe,
# the signature carrying the chain up to the test CA; an extra argument names
# the one certificate file the signature carries besides the signer's
# ("" for none).
set(signed_files)
function(sign_test_program program file signer)
  set(signed "${TEST_KEYS}/${file}.${signer}.exe")
  set(chain -ac "${TEST_KEYS}/ca.pem")
  if(ARGC GREATER 3)
    set(chain)
    if(NOT ARGV3 STREQUAL "")
      set(chain -ac "${TEST_KEYS}/${ARGV3}")
    endif()
  endif()
  add_custom_command(OUTPUT "${signed}"
    COMMAND osslsigncode sign -h sha256 -n "Orvinta test" -certs "${TEST_KEYS}/${signer}.pem"
      ${chain} -key "${TEST_KEYS}/${signer}.key"
      -in "$<TARGET_FILE:${program}>" -out "${signed}.tmp"
    COMMAND "${CMAKE_COMMAND}" -E rename "${signed}.tmp" "${signed}"
    DEPENDS ${program} "${TEST_KEYS}/${signer}.pem" VERBATIM)
  set(signed_files ${signed_files} "${signed}" PARENT_SCOPE)
endfunction()
foreach(signer pinned other)
  sign_test_program(sample_client client ${signer})
  sign_test_program(recording_updater updater ${signer})
endforeach()
foreach(variant 1_0 1_1 1_10 1_2_0_1 rebuilt uppercase second_language unversioned old_name
    large as_invoker)
  string(REGEX REPLACE "_([0-9])" ".\\1" file "updater-${variant}")
  sign_test_program(updater_${variant} "${file}" pinned)
endforeach()
# Under an intermediate CA: with the intermediate in the signature, and without.
sign_test_program(recording_updater updater chained intermediate.pem)
sign_test_program(recording_updater updater-leaf-only chained "")
# Certificates Windows refuses for code signing: expired, and for TLS only.
sign_test_program(recording_updater updater expired)
sign_test_program(recording_updater updater localhost)
add_custom_target(signed_test_files ALL DEPENDS ${signed_files})
