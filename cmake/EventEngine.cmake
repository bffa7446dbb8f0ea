# The kernel sides of the event engine and of the connect refusal layer: BPF programs compiled at
# build time against the build machine's kernel types (vmlinux.h from its BTF), and the skeletons
# that load them. Without the tools or the types the program is built without them: it runs the
# timer engine, no refusal layer, and says so.
option(CORVANE_EVENT_ENGINE "Build the BPF event engine when the tools and kernel types are there" ON)
set(CORVANE_VMLINUX_BTF /sys/kernel/btf/vmlinux CACHE FILEPATH "Kernel BTF the BPF program is compiled against")

function(corvane_add_event_engine target)
  set(missing)
  if(CORVANE_EVENT_ENGINE)
    pkg_check_modules(LIBBPF IMPORTED_TARGET libbpf)
    find_program(CORVANE_BPFTOOL bpftool PATHS /usr/sbin /sbin)
    find_program(CORVANE_BPF_CLANG NAMES clang-14 clang)
    if(NOT LIBBPF_FOUND)
      list(APPEND missing "libbpf")
    endif()
    if(NOT CORVANE_BPFTOOL)
      list(APPEND missing "bpftool")
    endif()
    if(NOT CORVANE_BPF_CLANG)
      list(APPEND missing "clang")
    endif()
    if(NOT EXISTS ${CORVANE_VMLINUX_BTF})
      list(APPEND missing "kernel BTF (${CORVANE_VMLINUX_BTF})")
    endif()
  else()
    list(APPEND missing "CORVANE_EVENT_ENGINE=OFF")
  endif()
  if(missing)
    message(STATUS "Event engine and connect refusal left out: ${missing}")
    target_compile_definitions(${target} PUBLIC CORVANE_HAVE_EVENT_ENGINE=0)
    return()
  endif()

  set(out ${CMAKE_CURRENT_BINARY_DIR}/bpf)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    set(arch x86)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(arch arm64)
  else()
    set(arch ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  add_custom_command(OUTPUT ${out}/vmlinux.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${CORVANE_BPFTOOL} btf dump file ${CORVANE_VMLINUX_BTF} format c > ${out}/vmlinux.h
    COMMENT "Kernel types for the BPF program (vmlinux.h)" VERBATIM)
  # One BPF object and its skeleton per kernel side: the event engine's tracepoint program, and the
  # refusal layer's cgroup connect programs.
  foreach(program connection_events connect_refusal)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/bpf/${program}.bpf.c)
    set(record ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/bpf/${program}.h)
    add_custom_command(OUTPUT ${out}/${program}.bpf.o
      COMMAND ${CORVANE_BPF_CLANG} -g -O2 -target bpf -D__TARGET_ARCH_${arch} -Wall -Werror
              -I${out} -I${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/bpf
              -c ${source} -o ${out}/${program}.full.o
      # Keeps the BTF the loader relocates with, drops the debug lines.
      COMMAND ${CORVANE_BPFTOOL} gen object ${out}/${program}.bpf.o ${out}/${program}.full.o
      DEPENDS ${source} ${record} ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/bpf/address_prefix.h
              ${out}/vmlinux.h
      COMMENT "BPF program (${program}.bpf.o)" VERBATIM)
    add_custom_command(OUTPUT ${out}/${program}.skel.h
      COMMAND ${CORVANE_BPFTOOL} gen skeleton ${out}/${program}.bpf.o name ${program}_bpf
              > ${out}/${program}.skel.h
      DEPENDS ${out}/${program}.bpf.o
      COMMENT "BPF skeleton (${program}.skel.h)" VERBATIM)
    target_sources(${target} PRIVATE ${out}/${program}.skel.h)
  endforeach()
  target_include_directories(${target} SYSTEM PRIVATE ${out})
  target_compile_definitions(${target} PUBLIC CORVANE_HAVE_EVENT_ENGINE=1)
  target_link_libraries(${target} PUBLIC PkgConfig::LIBBPF)
  message(STATUS "Event engine and connect refusal: built (${CORVANE_BPF_CLANG}, ${CORVANE_BPFTOOL}, ${CORVANE_VMLINUX_BTF})")
endfunction()
