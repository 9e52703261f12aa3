// The stream-backed file type: a virtual-file type (foundation/file.h)
// registered under a disk image's path, so that every later file_open of
// that path -- by the media layer, its block reader, a partition or node
// stream -- reads the image's sectors instead of the file's own bytes.
//
// Slots of the type
//   open    makes a new ZV::ByteStreamDiskImage over the path's image; two
//           files of one image keep their own positions and share the
//           image (and its sector cache)
//   read    exactly count bytes at the file's position, or -34 (short or
//           failed; the position stays where the read began)
//   write   -15: images are read only
//   seek    0 for a position from 0 to the image's size, else -1
//   tell    the file's position
//   free    drops the stream and frees the file object
//   size    sectors x sector size of the image (the file's own, or, for a
//           file not open, the path's current image), whatever the size of
//           the image file
//   is open whether the file has a stream
// Every other slot is empty: file_close keeps the stream (the file stays
// readable until it is freed), error and reopen are the file layer's own.
//
// Registration
//   A path is registered once and stays bound to its image while the
//   file's size, modification time and identity (device, inode) stay the
//   same: registering it again then does nothing. A changed file is opened
//   again and replaces the image (the replaced one lives on only as long as
//   files still open on it). A registered path whose file is no image any
//   more gets a type without operations, so it reads its own bytes again.
//
// Threads: files of the type may be opened, read and freed from any thread
// (each file object by one thread at a time). The image readers serve one
// read at a time, so the reads of all files of one image take turns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/u8string.h"
#include "storage/images/disk_image.h"

// Registers the type under path when it names a disk image (see
// ZV::DiskImage::open). 0 when the path is an image and the type is
// registered under it; -1 when no reader accepts the file; -95 when a
// reader knows the file as an image of a kind it does not read (a
// stream-optimized VMDK), with the reason in *unsupported when given; -12
// when path is NULL or not valid UTF-8. Nothing is registered but on 0.
int file_open_disk_image(const char *path, std::string *unsupported = nullptr);

// The bytes the image registered under path presents (sectors x sector
// size); -1 when no image is registered under it.
int64_t image_file_bytes(const char *path);

// The function file_open_disk_image opens images with (NULL restores
// ZV::DiskImage::open). For tests.
typedef std::shared_ptr<ZV::DiskImage> (*image_file_opener)(const zorvant::u8string &path);
void image_file_set_opener(image_file_opener opener);
