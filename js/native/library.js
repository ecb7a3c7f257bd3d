// The functions the WebAssembly module imports from its host. The package
// passes its SHA-256 function as the module option `verdaneSha256`.
mergeInto(LibraryManager.library, {
  verdane_host_sha256: function (data, size, digest) {
    const bytes = HEAPU8.subarray(data, data + size);
    HEAPU8.set(Module['verdaneSha256'](bytes), digest);
  },
});
