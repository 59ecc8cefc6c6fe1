# Flags shared by the code that also builds as the kernel image: no C++ runtime
# features the kernel cannot give it.
function(pcmf_driver_code target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
endfunction()
