// Reads and writes values in the standard codec's wire format. Subclass it to add custom types
// (type bytes 128 and above): override WriteValue and ReadValueOfType and defer to this class for
// everything else. Stateless, so one instance may be used from several threads.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_STANDARD_CODEC_SERIALIZER_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_STANDARD_CODEC_SERIALIZER_H_

#include "byte_streams.h"
#include "encodable_value.h"

namespace flutter {

class StandardCodecSerializer {
  public:
    virtual ~StandardCodecSerializer();

    static const StandardCodecSerializer& GetInstance();

    StandardCodecSerializer(StandardCodecSerializer const&) = delete;
    StandardCodecSerializer& operator=(StandardCodecSerializer const&) = delete;

    // Reads one type byte and the value that follows. Malformed input yields null values (with a
    // print), never a crash.
    EncodableValue ReadValue(ByteStreamReader* stream) const;

    virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

  protected:
    StandardCodecSerializer();

    // Reads the value of type |type|; an unknown type prints a message and yields null.
    virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

    // Size prefix: one byte below 254, 254 + u16 up to 0xFFFF, 255 + u32 above.
    size_t ReadSize(ByteStreamReader* stream) const;
    void WriteSize(size_t size, ByteStreamWriter* stream) const;

  private:
    template <typename T>
    EncodableValue ReadVector(ByteStreamReader* stream) const;

    template <typename T>
    void WriteVector(const std::vector<T> vector, ByteStreamWriter* stream) const;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_STANDARD_CODEC_SERIALIZER_H_
