// One streaming copy kernel, written once for every instruction set: memory_copy.cpp
// includes this file once per kernel, after defining
//   COPY_KERNEL       the kernel's name
//   COPY_TARGET       the target attribute it is compiled with
//   COPY_VECTOR       the vector type of one load and one store
//   COPY_LOAD(p)      a load of one vector from the source (aligned to its size)
//   COPY_STORE(p, v)  a non-temporal store of one vector to the destination
//   COPY_BLOCK        the bytes of one unrolled block
// which this file undefines again. It is included inside the namespace the kernels live
// in, and has no include guard, for that reason.

COPY_TARGET void COPY_KERNEL(u8* dst, const u8* src, size_t bytes) {
  constexpr size_t width = sizeof(COPY_VECTOR);
  while (bytes >= COPY_BLOCK) {
    for (size_t i = 0; i < COPY_BLOCK; i += width) COPY_STORE(dst + i, COPY_LOAD(src + i));
    dst += COPY_BLOCK;
    src += COPY_BLOCK;
    bytes -= COPY_BLOCK;
  }
  while (bytes >= width) {
    COPY_STORE(dst, COPY_LOAD(src));
    dst += width;
    src += width;
    bytes -= width;
  }
  while (bytes--) *dst++ = *src++;
  // The stores are weakly ordered: they are complete before the copy returns.
  _mm_sfence();
}

#undef COPY_KERNEL
#undef COPY_TARGET
#undef COPY_VECTOR
#undef COPY_LOAD
#undef COPY_STORE
#undef COPY_BLOCK
