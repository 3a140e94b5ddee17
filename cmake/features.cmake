# What the target system offers, by feature test rather than by its name:
# each result becomes a 1 or a 0 in platform/features.h. With
# QUARN_PORTABLE_FALLBACKS none is looked for and every facility takes its
# plain-POSIX form, so that the forms other systems use are built and
# tested here.
include(CheckCXXSourceCompiles)
include(CheckStructHasMember)
include(CheckSymbolExists)

set(QUARN_FEATURES
    QUARN_HAVE_LINUX_PROC QUARN_HAVE_NSGETEXECUTABLEPATH QUARN_HAVE_KERN_PROC_PATHNAME
    QUARN_HAVE_PIPE2 QUARN_HAVE_SOCK_CLOEXEC QUARN_HAVE_ACCEPT4 QUARN_HAVE_CLOSE_RANGE
    QUARN_HAVE_O_PATH QUARN_HAVE_DIRENT_D_TYPE QUARN_HAVE_MSG_NOSIGNAL QUARN_HAVE_SO_NOSIGPIPE
    QUARN_HAVE_MSG_MORE QUARN_HAVE_MSG_DONTWAIT QUARN_HAVE_RECV_DISCARD QUARN_HAVE_POLLRDHUP
    QUARN_HAVE_F_GETPIPE_SZ QUARN_HAVE_GETRANDOM QUARN_HAVE_X86_LANES QUARN_HAVE_CPU_SUPPORTS
    QUARN_HAVE_NEON_LANES)

if(QUARN_PORTABLE_FALLBACKS)
  foreach(feature ${QUARN_FEATURES})
    set(${feature} 0)
  endforeach()
else()
  set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
  set(CMAKE_REQUIRED_QUIET ON)
  # A kernel's own interfaces: /proc/self (the exe link, the descriptor
  # listing), and a receive on a stream socket that drops bytes with MSG_TRUNC instead of copying them,
  # are what Linux does with them (elsewhere the flag means other things).
  check_cxx_source_compiles("#ifndef __linux__\n#error\n#endif\nint main() {}"
                            QUARN_HAVE_LINUX_PROC)
  check_cxx_source_compiles("#include <sys/socket.h>
#if !defined(__linux__) || !defined(MSG_TRUNC)
#error
#endif
int main() {}" QUARN_HAVE_RECV_DISCARD)
  check_symbol_exists(_NSGetExecutablePath mach-o/dyld.h QUARN_HAVE_NSGETEXECUTABLEPATH)
  check_symbol_exists(KERN_PROC_PATHNAME "sys/types.h;sys/sysctl.h" QUARN_HAVE_KERN_PROC_PATHNAME)
  check_symbol_exists(pipe2 "fcntl.h;unistd.h" QUARN_HAVE_PIPE2)
  check_symbol_exists(SOCK_CLOEXEC sys/socket.h QUARN_HAVE_SOCK_CLOEXEC)
  check_symbol_exists(accept4 sys/socket.h QUARN_HAVE_ACCEPT4)
  check_symbol_exists(close_range unistd.h QUARN_HAVE_CLOSE_RANGE)
  check_symbol_exists(O_PATH fcntl.h QUARN_HAVE_O_PATH)
  check_struct_has_member("struct dirent" d_type dirent.h QUARN_HAVE_DIRENT_D_TYPE)
  check_symbol_exists(MSG_NOSIGNAL sys/socket.h QUARN_HAVE_MSG_NOSIGNAL)
  check_symbol_exists(SO_NOSIGPIPE sys/socket.h QUARN_HAVE_SO_NOSIGPIPE)
  check_symbol_exists(MSG_MORE sys/socket.h QUARN_HAVE_MSG_MORE)
  check_symbol_exists(MSG_DONTWAIT sys/socket.h QUARN_HAVE_MSG_DONTWAIT)
  check_symbol_exists(POLLRDHUP poll.h QUARN_HAVE_POLLRDHUP)
  check_symbol_exists(F_GETPIPE_SZ fcntl.h QUARN_HAVE_F_GETPIPE_SZ)
  check_symbol_exists(getrandom sys/random.h QUARN_HAVE_GETRANDOM)
  # The field decoder's vectors: SSE2 (with AVX2 chosen at run time where
  # the processor has it) or AArch64's NEON, as the compiler offers them.
  check_cxx_source_compiles("#include <immintrin.h>
__attribute__((target(\"avx2\"))) int Wide(const char* p) {
  return _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
int main() {
  char bytes[32] = {};
  return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes))) + Wide(bytes);
}" QUARN_HAVE_X86_LANES)
  check_cxx_source_compiles("int main() { return __builtin_cpu_supports(\"avx2\") ? 0 : 1; }"
                            QUARN_HAVE_CPU_SUPPORTS)
  check_cxx_source_compiles("#include <arm_neon.h>
int main() {
  unsigned char bytes[16] = {};
  return vaddv_u8(vget_low_u8(vceqq_u8(vld1q_u8(bytes), vdupq_n_u8(34))));
}" QUARN_HAVE_NEON_LANES)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  unset(CMAKE_REQUIRED_QUIET)
  foreach(feature ${QUARN_FEATURES})
    if(${feature})
      set(${feature} 1)
    else()
      set(${feature} 0)
    endif()
  endforeach()
endif()

set(QUARN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/src/platform/features.h.in
               ${QUARN_GENERATED_DIR}/platform/features.h)
