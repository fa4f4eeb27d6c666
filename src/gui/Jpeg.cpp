#include "gui/Jpeg.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "gui/FundoJpeg.h"

namespace mirelo_app {
namespace {

// libjpeg's own error exit ends the process; ours jumps back to the decoder instead.
struct ErroJpeg {
    jpeg_error_mgr Padrao;
    std::jmp_buf Retorno;
};

void SaidaDeErro(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErroJpeg*>(info->err)->Retorno, 1);
}

void SemMensagem(j_common_ptr) {}

}  // namespace

namespace {

// Runs the decompression. The image, the decompressor and its error manager live in the caller's
// frame, so a jump back to setjmp leaves none of them in an indeterminate state.
bool Decodifica(jpeg_decompress_struct& info, ErroJpeg& erro, const unsigned char* dados,
                std::size_t tamanho, QImage& imagem)
{
    info.err = jpeg_std_error(&erro.Padrao);
    erro.Padrao.error_exit = SaidaDeErro;
    erro.Padrao.output_message = SemMensagem;
    if (setjmp(erro.Retorno) != 0)
        return false;

    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, dados, static_cast<unsigned long>(tamanho));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK)
        return false;
    if (info.image_width > static_cast<JDIMENSION>(kMaxLadoJpeg) ||
        info.image_height > static_cast<JDIMENSION>(kMaxLadoJpeg))
        return false;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3)
        return false;

    imagem = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                    QImage::Format_RGB888);
    if (imagem.isNull())
        return false;
    while (info.output_scanline < info.output_height) {
        JSAMPROW linha = imagem.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &linha, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

}  // namespace

QImage DecodificaJpeg(const unsigned char* dados, std::size_t tamanho)
{
    QImage imagem;
    if (dados == nullptr || tamanho == 0)
        return imagem;
    jpeg_decompress_struct info{};
    ErroJpeg erro{};
    const bool ok = Decodifica(info, erro, dados, tamanho, imagem);
    // Safe on a decompressor that was never created: its memory manager pointer is null.
    jpeg_destroy_decompress(&info);
    return ok ? imagem : QImage();
}

QImage FundoDetalhes()
{
    return DecodificaJpeg(kFundoDetalhesJpeg, kFundoDetalhesJpegTamanho);
}

}  // namespace mirelo_app
