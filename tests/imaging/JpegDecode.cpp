#include "JpegDecode.h"

#include "tests/support/BmpBuilder.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace
{
struct CErr
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
void OnError(j_common_ptr c)
{
    std::longjmp(reinterpret_cast<CErr*>(c->err)->jump, 1);
}
void Silent(j_common_ptr) {}

bool Run(jpeg_decompress_struct* d, CDecodedJpeg* out, std::jmp_buf* jump)
{
    if (setjmp(*jump) != 0)
        return false;
    jpeg_read_header(d, TRUE);
    out->bJfif = d->saw_JFIF_marker;
    out->nJfifMajor = d->JFIF_major_version;
    out->nJfifMinor = d->JFIF_minor_version;
    out->nDensityUnit = d->density_unit;
    out->nXDensity = d->X_density;
    out->nYDensity = d->Y_density;
    out->bProgressive = d->progressive_mode;
    out->bArithmetic = d->arith_code;
    out->nComponents = d->num_components;
    for (int i = 0; i < 3 && i < d->num_components; ++i)
    {
        out->hSamp[i] = d->comp_info[i].h_samp_factor;
        out->vSamp[i] = d->comp_info[i].v_samp_factor;
    }
    if (d->quant_tbl_ptrs[0])
    {
        out->nLumaQuant0 = d->quant_tbl_ptrs[0]->quantval[0];
        out->lumaQuant.assign(d->quant_tbl_ptrs[0]->quantval, d->quant_tbl_ptrs[0]->quantval + 64);
    }
    d->out_color_space = JCS_RGB;
    jpeg_start_decompress(d);
    out->nWidth = int(d->output_width);
    out->nHeight = int(d->output_height);
    out->rgb.resize(std::size_t(out->nWidth) * out->nHeight * 3);
    while (d->output_scanline < d->output_height)
    {
        JSAMPROW row = out->rgb.data() + std::size_t(d->output_scanline) * out->nWidth * 3;
        jpeg_read_scanlines(d, &row, 1);
    }
    jpeg_finish_decompress(d);
    return true;
}
} // namespace

CDecodedJpeg DecodeJpegBytes(const std::vector<std::uint8_t>& bytes)
{
    CDecodedJpeg out;
    jpeg_decompress_struct d;
    CErr err;
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.output_message = Silent;
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes.data(), static_cast<unsigned long>(bytes.size()));
    out.bOk = !bytes.empty() && Run(&d, &out, &err.jump);
    jpeg_destroy_decompress(&d);
    return out;
}

CDecodedJpeg DecodeJpegFile(const std::string& strPath)
{
    return DecodeJpegBytes(ReadBytes(strPath));
}

std::vector<int> LumaQuantForQuality(int nQuality)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    c.in_color_space = JCS_RGB;
    c.input_components = 3;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, nQuality, TRUE);
    std::vector<int> table(c.quant_tbl_ptrs[0]->quantval, c.quant_tbl_ptrs[0]->quantval + 64);
    jpeg_destroy_compress(&c);
    return table;
}
